// Taking rows over from an earlier result file: which selected cards are taken and which are
// fetched in each mode, what activity the taken rows get, and that the last row of a card counts.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "XlsxTestSupport.h"
#include "engine/Update.h"

namespace {

using engine::TAddressQueue;
using engine::TRunOptions;
using exporttest::CardRow;

QString Url(const char* origin, int id) {
  return QString::fromLatin1(origin) + QStringLiteral("/ru/registry/show_supplier/%1").arg(id);
}

TEST(UpdateSource, TakesKnownCardsAndLeavesTheOthersToFetch) {
  QTemporaryDir dir;
  const QString previous = dir.filePath(QStringLiteral("data1.csv"));
  const auto row = [](int id, const char* activity, const char* phone) {
    return CardRow({{0, Url("https://old:8443", id).toStdString()}, {1, activity}, {17, phone}});
  };
  // Card 1 twice: its last row counts. Card 3 is inactive now, card 2 no longer is.
  exporttest::WriteResultFile(previous, {row(1, "Активный", "first"), row(2, "Неактивный", "+7 2"),
                                         row(3, "Активный", "+7 3"), row(1, "Активный", "+7 1")});
  engine::TInactiveSet inactive;
  inactive.Assign({Url("https://new", 3)});

  struct Case {
    const char* name;
    TRunOptions options;
    QStringList fetched;  // in selection order
    QStringList rows;     // address|activity|phone, in the earlier file's order
  };
  const QString n1 = Url("https://new", 1), n2 = Url("https://new", 2), n3 = Url("https://new", 3),
                n4 = Url("https://new", 4);
  const Case cases[] = {
      {"all in one pass", {false, true, false, false, false}, {n4},
       {n2 + "|N/A|+7 2", n3 + "|N/A|+7 3", n1 + "|N/A|+7 1", n1 + "|N/A|+7 1"}},
      {"active and inactive", {false, false, true, true, true}, {n4},
       {n2 + "|Активный|+7 2", n3 + "|Неактивный|+7 3", n1 + "|Активный|+7 1", n1 + "|Активный|+7 1"}},
      // The card filter drops the known cards of the other kind, as the card phase skips them.
      {"active only", {false, false, true, true, false}, {n4},
       {n2 + "|Активный|+7 2", n1 + "|Активный|+7 1", n1 + "|Активный|+7 1"}},
      {"inactive only", {false, false, true, false, true}, {n4}, {n3 + "|Неактивный|+7 3"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    engine::TUpdateSource update(previous);
    // Card 1 selected twice, with blanks around one of them; card 4 is new.
    TAddressQueue pending{n1, QStringLiteral("  ") + n2, n4, n3, n1 + QStringLiteral(" ")};
    EXPECT_EQ(update.Select(c.options, inactive, pending), c.rows.size());
    EXPECT_EQ(QStringList(pending.begin(), pending.end()), c.fetched);
    EXPECT_EQ(update.LogText(pending.size()),
              QStringLiteral("Из файла %1 взято строк: %2, загружаем карточек: 1").arg(previous).arg(c.rows.size()));
    QByteArray written;
    update.WriteRows([&](const QByteArray& lines) { written += lines; });
    QStringList rows;
    for (const QString& line : QString::fromUtf8(written).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts)) {
      const QStringList f = line.mid(1, line.size() - 2).split(QStringLiteral("\";\""));
      ASSERT_EQ(f.size(), 33) << line.toStdString();
      rows.append(f[0] + u'|' + f[1] + u'|' + f[17]);
    }
    EXPECT_EQ(rows, c.rows);
  }
}

TEST(UpdateSource, RefusesWhatIsNoResultFile) {
  QTemporaryDir dir;
  const QString notes = dir.filePath(QStringLiteral("notes.csv"));
  QFile f(notes);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write("\"a\";\"b\"\r\n");
  f.close();
  EXPECT_FALSE(engine::CheckUpdateFile(notes).isEmpty());
  EXPECT_FALSE(engine::CheckUpdateFile(dir.filePath(QStringLiteral("missing.csv"))).isEmpty());
  const QString good = dir.filePath(QStringLiteral("data1.csv"));
  exporttest::WriteResultFile(good, {CardRow()});
  EXPECT_EQ(engine::CheckUpdateFile(good), QString());
}

}  // namespace
