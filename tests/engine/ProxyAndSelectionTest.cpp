#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "engine/CardSelection.h"
#include "engine/ProxySettings.h"
#include "engine/Resume.h"

using namespace engine;

TEST(ProxyLine, FormsAndLogText) {
  struct Case {
    QString line;
    QString host, port, user, password;
    QString log;
  } cases[] = {
      {"10.0.0.1:1080", "10.0.0.1", "1080", "", "", "Используем прокси 10.0.0.1:1080"},
      {"proxyhost", "proxyhost", "", "", "", "Используем прокси proxyhost:"},
      {"bob@h:1", "h", "1", "bob", "", "Используем прокси h:1, login bob, password ***"},
      {"bob:secret99@h:1", "h", "1", "bob", "secret99",
       "Используем прокси h:1, login bob, password secre***"},
      {"bob:abc@h:1", "h", "1", "bob", "abc", "Используем прокси h:1, login bob, password abc***"},
      {"bob:a:b:c@h:1", "h", "1", "bob", "a:b:c",
       "Используем прокси h:1, login bob, password a:b:c***"},
      {"bob:p@ss@h:1", "ss@h", "1", "bob", "p", "Используем прокси ss@h:1, login bob, password p***"},
      {":1080", "", "1080", "", "", "Используем прокси :1080"},
      {"h:1: 2", "h", "1: 2", "", "", "Используем прокси h:1: 2"},  // nothing validated or trimmed
  };
  for (const auto& c : cases) {
    const TProxySettings p = ParseProxyLine(c.line);
    EXPECT_EQ(p.ProxyHost, c.host) << c.line.toStdString();
    EXPECT_EQ(p.ProxyPort, c.port) << c.line.toStdString();
    EXPECT_EQ(p.ProxyUser, c.user) << c.line.toStdString();
    EXPECT_EQ(p.ProxyPassword, c.password) << c.line.toStdString();
    EXPECT_EQ(ProxyLogText(p), c.log) << c.line.toStdString();
  }
}

TEST(ProxyFile, FirstLineTrimmedInItsEncoding) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString path = dir.filePath("proxy.txt");
  auto write = [&](const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
  };

  EXPECT_EQ(ReadProxyLine(path), QString());  // no file

  // Without a byte-order mark the file is in the system's code set (empty: the locale's, which
  // is 7-bit ASCII here and so gives UTF-8).
  struct Case {
    QByteArray bytes;
    QByteArray codeset;
    QString expected;
  } cases[] = {
      {"", "", ""},
      {"  \t \r\nu:p@h:1\r\n", "", ""},  // a blank first line counts as empty; later lines unread
      {" u:p@h:1 \r\nother:2\r\n", "", "u:p@h:1"},
      {"h:1", "", "h:1"},
      {"\xEF\xBB\xBFпрокси:1\n", "CP1251", "прокси:1"},                         // UTF-8 BOM
      {QByteArray("\xFF\xFE" "h\0:\0" "9\0\r\0\n\0", 12), "", "h:9"},           // UTF-16 LE BOM
      {"\xD0\xBF:2", "", "п:2"},                                                // ASCII locale
      {"\xEF\xF0\xEE\xEA\xF1\xE8:\xEF\xE0\xF0\xEE\xEB\xFC@h:1", "CP1251", "прокси:пароль@h:1"},
      {"\xD0\xBF:2", "UTF-8", "п:2"},
      {"\xD0\xBF:2", "NO-SUCH-CODESET", "п:2"},                                 // unknown: UTF-8
      {"u\x98:p@h:1", "CP1251", "u\uFFFD:p@h:1"},                                // not in CP1251
  };
  for (const auto& c : cases) {
    write(c.bytes);
    EXPECT_EQ(ReadProxyLine(path, c.codeset), c.expected)
        << c.bytes.toHex().toStdString() << " in " << c.codeset.toStdString();
  }

  // Only a regular file counts: a folder named proxy.txt means no proxy.
  const QString folder = dir.filePath("folder");
  ASSERT_TRUE(QDir().mkpath(folder + "/proxy.txt"));
  EXPECT_EQ(ReadProxyLine(folder + "/proxy.txt"), QString());

  // A proxy.txt that exists but cannot be read is an error, not "no proxy". The kernel's
  // write-only file stands for it, since a file without read permission is readable to root.
  EXPECT_THROW(ReadProxyLine("/proc/self/clear_refs"), std::runtime_error);
}

TEST(CardSelection, SourceByModeAndTestExportCut) {
  QStringList cards, inactive;
  for (int i = 0; i < 150; ++i) cards << QString("c%1").arg(i);
  inactive << "i2" << "i1";

  struct Case {
    const char* name;
    TRunOptions options;
    std::size_t size;
    QString first;
  } cases[] = {
      {"all in a row", {false, true, false, false, false}, 150, "c0"},
      {"all in a row, test export", {true, true, false, false, false}, 100, "c0"},
      {"separate, active", {false, false, true, true, false}, 150, "c0"},
      {"separate, both", {false, false, true, true, true}, 150, "c0"},
      {"separate, inactive only", {false, false, true, false, true}, 2, "i2"},
  };
  for (const auto& c : cases) {
    TAddressQueue pending{"stale"};
    SelectCards(c.options, cards, inactive, pending);
    EXPECT_EQ(pending.size(), c.size) << c.name;
    ASSERT_FALSE(pending.empty()) << c.name;
    EXPECT_EQ(pending.front(), c.first) << c.name;
  }
  TAddressQueue pending;
  SelectCards({true, true, false, false, false}, cards, inactive, pending);
  EXPECT_EQ(pending.back(), "c99");  // the first 100, in order
}

TEST(CardSelection, FilterAndInactiveSetIgnoreCase) {
  TInactiveSet set;
  set.Assign({"https://p/ru/B", "https://p/ru/a", "https://p/ru/C"});
  EXPECT_TRUE(set.Contains("https://p/ru/A"));
  EXPECT_TRUE(set.Contains("HTTPS://P/RU/b"));
  EXPECT_FALSE(set.Contains("https://p/ru/d"));

  struct Case {
    TRunOptions options;
    bool passInactive;
    bool passActive;
  } cases[] = {
      {{false, true, false, false, false}, true, true},   // all in a row: everything passes
      {{false, false, true, true, true}, true, true},     // both boxes
      {{false, false, true, false, true}, true, false},   // only inactive
      {{false, false, true, true, false}, false, true},   // only active
      {{false, false, true, false, false}, false, true},  // neither box: not in the set
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PassesCardFilter(c.options, set, "https://p/ru/c"), c.passInactive);
    EXPECT_EQ(PassesCardFilter(c.options, set, "https://p/ru/x"), c.passActive);
  }
}

TEST(CardSelection, ResumeDropsOneSelectedCardPerWrittenRow) {
  // The file holds rows as the card phase wrote them: trimmed, a double quote an apostrophe.
  TResumeFile file;
  file.Path = "/r/data1.csv";
  file.RowCount = 4;
  file.Written = {{"https://p/1", 2}, {"https://p/2", 1}, {"https://p/'q'", 1}, {"https://p/gone", 1}};
  struct Case {
    const char* name;
    TAddressQueue pending;
    TAddressQueue left;
  } cases[] = {
      {"linked three times, written twice", {"https://p/1", "https://p/3", "https://p/1", "https://p/1"},
       {"https://p/3", "https://p/1"}},
      {"compared trimmed and as written", {"  https://p/2\t", "https://p/\"q\"", "https://P/2"}, {"https://P/2"}},
      {"nothing written yet", {"https://p/4", "https://p/5"}, {"https://p/4", "https://p/5"}},
      {"everything written", {"https://p/2", "https://p/1"}, {}},
  };
  for (auto& c : cases) {
    TResumeFile copy = file;
    DropWrittenCards(copy, c.pending);
    EXPECT_EQ(c.pending, c.left) << c.name;
  }
}
