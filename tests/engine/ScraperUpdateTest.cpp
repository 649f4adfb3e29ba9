// An update run through the real driver and result file on a fake portal: known cards are taken
// over without a fetch, the others fetched; when every card is known nothing is fetched but the
// file is written; an earlier file gone by the card phase is an error outcome with no file.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "FakeEngineWorld.h"
#include "VirtualClock.h"
#include "text/ResultFile.h"
#include "text/SupplierCard.h"
#include "engine/ListCrawl.h"
#include "engine/ProxySettings.h"
#include "engine/EngineConfig.h"

using namespace engine;
using namespace enginetest;

namespace {

const QString kOrigin = QStringLiteral("https://p.test");
QString Card(const char* id) { return CardUrlPrefix(kOrigin) + QLatin1String(id); }

QByteArray ListPage(const QStringList& urls) {
  QString page = "<html><body>";
  for (const QString& url : urls) page += "<a href=\"" + url + "\">x</a>";
  return (page + "</body></html>").toUtf8();
}

class ScraperUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    portal_->SetPage(ListPageUrl(kOrigin, QStringLiteral("2016"), 1), ListPage({Card("c1"), Card("c2")}));
    portal_->SetPage(ListPageUrl(kOrigin, QStringLiteral("2017"), 1), ListPage({Card("c3")}));
    for (const char* id : {"c1", "c2", "c3"}) {
      portal_->SetPage(Card(id), ("<html><h1>ТОО &laquo;" + QString::fromLatin1(id) + "&raquo;</h1></html>").toUtf8());
    }
    SetProxySettings({});
  }

  // An earlier harvest through another origin holding the given cards, with a heading of its own.
  QString Previous(std::initializer_list<const char*> ids) {
    const QString folder = dir_.filePath(QStringLiteral("previous"));
    QDir().mkpath(folder);
    text::TResultFile file(folder, {}, {}, [] { return 7u; });
    file.Open();
    for (const char* id : ids) {
      text::SupplierCard card;
      card.title = QStringLiteral("из прошлой выгрузки ") + QLatin1String(id);
      file.WriteRow(CardUrlPrefix(QStringLiteral("https://old.test")) + QLatin1String(id), QStringLiteral("N/A"), card);
    }
    file.Close();
    return file.Path();
  }

  // Runs an update of `previous` in the all-in-one-pass mode; returns the rows of the new file.
  QList<QStringList> Update(const QString& previous) {
    TEngineConfig c;
    c.ProgramDir = dir_.filePath(QStringLiteral("out"));
    QDir().mkpath(c.ProgramDir);
    c.PortalOrigin = kOrigin;
    c.Timing.AttemptCount = 2;
    c.Clock = clock_;
    c.CurrentYear = 2017;
    c.FetcherFactory = portal_->Factory(portal_);
    c.UpdateFile = previous;
    auto driver = window_->Start({false, true, false, false, false}, c);
    EXPECT_TRUE(WaitUntil([&] { return driver->Finished(); }));
    QList<QStringList> rows;
    const QStringList files = QDir(c.ProgramDir).entryList({QStringLiteral("data*.csv")});
    if (files.size() != 1) return rows;
    QFile f(QDir(c.ProgramDir).filePath(files[0]));
    const QByteArray bytes = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    for (const QString& line : QString::fromUtf8(bytes.mid(3)).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts))
      rows.append(line.mid(1, line.size() - 2).split(QStringLiteral("\";\"")));
    rows.removeFirst();
    return rows;
  }

  QTemporaryDir dir_;
  std::shared_ptr<TFakePortal> portal_ = std::make_shared<TFakePortal>();
  std::shared_ptr<TVirtualClock> clock_ = std::make_shared<TVirtualClock>();
  std::shared_ptr<TFakeWindow> window_ = std::make_shared<TFakeWindow>();
};

TEST_F(ScraperUpdateTest, KnownCardsAreTakenOverAndTheOthersFetched) {
  const QString previous = Previous({"c1", "c3"});
  const QList<QStringList> rows = Update(previous);
  ASSERT_EQ(rows.size(), 3);
  std::map<QString, QString> heading;
  for (const QStringList& r : rows) heading[r[0]] = r[2];
  EXPECT_EQ(heading[Card("c1")], QStringLiteral("из прошлой выгрузки c1"));
  EXPECT_EQ(heading[Card("c3")], QStringLiteral("из прошлой выгрузки c3"));
  EXPECT_EQ(heading[Card("c2")], QStringLiteral("ТОО 'c2'"));
  EXPECT_EQ(portal_->Fetches(Card("c1")), 0);
  EXPECT_EQ(portal_->Fetches(Card("c3")), 0);
  EXPECT_EQ(portal_->Fetches(Card("c2")), 1);
  EXPECT_TRUE(window_->Logged("Из файла " + previous + " взято строк: 2, загружаем карточек: 1"));
  EXPECT_EQ(window_->Events().filter("outcome:"), QStringList({"outcome:ok"}));
}

TEST_F(ScraperUpdateTest, EveryCardKnownFetchesNoneButWritesTheFile) {
  const QList<QStringList> rows = Update(Previous({"c3", "c2", "c1"}));
  EXPECT_EQ(rows.size(), 3);
  for (const char* id : {"c1", "c2", "c3"}) EXPECT_EQ(portal_->Fetches(Card(id)), 0) << id;
  EXPECT_EQ(window_->Events().filter("outcome:"), QStringList({"outcome:ok"}));
}

TEST_F(ScraperUpdateTest, AnEarlierFileGoneByTheCardPhaseIsAnError) {
  const QList<QStringList> rows = Update(dir_.filePath(QStringLiteral("gone.csv")));
  EXPECT_TRUE(rows.isEmpty());
  EXPECT_TRUE(QDir(dir_.filePath(QStringLiteral("out"))).entryList({QStringLiteral("data*.csv")}).isEmpty());
  const QStringList outcomes = window_->Events().filter("outcome:");
  ASSERT_EQ(outcomes.size(), 1);
  EXPECT_TRUE(outcomes[0].startsWith("outcome:ERROR_")) << outcomes[0].toStdString();
  for (const char* id : {"c1", "c2", "c3"}) EXPECT_EQ(portal_->Fetches(Card(id)), 0) << id;
}

}  // namespace
