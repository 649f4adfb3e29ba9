// Reading result files back: what passes as a result file, what is refused and how, and the
// line cut short at the end of a file whose writer was killed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <QFile>
#include <QTemporaryDir>

#include "text/ResultFile.h"
#include "text/ResultFileReader.h"

using namespace text;

namespace {

std::string Head() {
  std::string head = "\xEF\xBB\xBF";
  for (int i = 0; i < TResultFile::kColumnCount; ++i) {
    if (i > 0) head += ';';
    head += '"' + TResultFile::HeaderTitles()[i].toStdString() + '"';
  }
  return head + "\r\n";
}

// A row's content without its CR LF: `count` quoted fields, the first the address.
std::string Fields(const std::string& address, int count = TResultFile::kColumnCount) {
  std::string row = '"' + address + '"';
  for (int i = 2; i <= count; ++i) row += i == 2 ? ";\"N/A\"" : ";\"знач; " + std::to_string(i) + '"';
  return row;
}
std::string Row(const std::string& address) { return Fields(address) + "\r\n"; }

QString WriteFile(const QTemporaryDir& dir, const std::string& bytes) {
  const QString path = dir.path() + QStringLiteral("/data1.csv");
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return QString();
  f.write(bytes.data(), static_cast<qint64>(bytes.size()));
  return path;
}

struct TReadOutcome {
  std::vector<std::string> addresses;  // column 1 of every row
  bool partialTail = false;
  std::int64_t wholeSize = -1;
  std::string error;  // the EResultFileFormat message, if any
};

TReadOutcome ReadAll(const QString& path) {
  TReadOutcome out;
  try {
    TResultFileReader reader(path);
    std::vector<std::string_view> fields;
    while (reader.Next(fields)) {
      EXPECT_EQ(fields.size(), static_cast<std::size_t>(TResultFile::kColumnCount));
      out.addresses.emplace_back(fields[0]);
    }
    EXPECT_EQ(reader.RowCount(), static_cast<std::int64_t>(out.addresses.size()));
    EXPECT_FALSE(reader.Next(fields));  // stays at the end
    out.partialTail = reader.PartialTail();
    out.wholeSize = reader.WholeSize();
  } catch (const EResultFileFormat& e) {
    out.error = e.what();
  }
  return out;
}

}  // namespace

TEST(ResultFileReader, AcceptsResultFilesAndKeepsACutLastLineOutOfTheRows) {
  const std::string head = Head();
  const std::string row1 = Row("https://h/show_supplier/1");
  const std::string row2 = Row("https://h/show_supplier/2");
  const std::string cut = Fields("https://h/show_supplier/3");
  const struct {
    const char* name;
    std::string bytes;
    std::vector<std::string> addresses;
    std::size_t wholeSize;
  } cases[] = {
      {"header only", head, {}, head.size()},
      {"two rows", head + row1 + row2, {"https://h/show_supplier/1", "https://h/show_supplier/2"},
       head.size() + row1.size() + row2.size()},
      {"row cut in its second field", head + row1 + cut.substr(0, 30), {"https://h/show_supplier/1"},
       head.size() + row1.size()},
      {"row cut right after a quote", head + row1 + "\"", {"https://h/show_supplier/1"}, head.size() + row1.size()},
      {"row cut inside a letter", head + row1 + cut.substr(0, cut.find("знач") + 1), {"https://h/show_supplier/1"},
       head.size() + row1.size()},
      {"whole row without CR LF", head + cut, {}, head.size()},
      {"whole row without its LF", head + row1 + cut + "\r", {"https://h/show_supplier/1"},
       head.size() + row1.size()},
      // Blocks a power cut left allocated but never written.
      {"a tail of NUL bytes", head + row1 + std::string(4096, '\0'), {"https://h/show_supplier/1"},
       head.size() + row1.size()},
      {"one NUL byte after the header", head + std::string(1, '\0'), {}, head.size()},
      {"row cut into NUL bytes", head + row1 + cut.substr(0, 30) + std::string(512, '\0'),
       {"https://h/show_supplier/1"}, head.size() + row1.size()},
  };
  QTemporaryDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TReadOutcome out = ReadAll(WriteFile(dir, c.bytes));
    EXPECT_EQ(out.error, "");
    EXPECT_EQ(out.addresses, c.addresses);
    EXPECT_EQ(out.partialTail, c.wholeSize != c.bytes.size());
    EXPECT_EQ(out.wholeSize, static_cast<std::int64_t>(c.wholeSize));
  }
}

TEST(ResultFileReader, RefusesWhatIsNoResultFileInOneLineNamingFileAndLine) {
  const std::string head = Head();
  const std::string row = Row("https://h/show_supplier/1");
  std::string otherHeader = head;
  otherHeader.replace(otherHeader.find("Регион"), 12, "Область");
  std::string strayQuote = Fields("u");
  strayQuote.insert(strayQuote.find("знач") + 2, "\"");
  const struct {
    const char* name;
    std::string bytes;
    const char* expected;  // part of the message after the path
  } cases[] = {
      {"empty file", "", "не является файлом результатов выгрузки: файл пуст"},
      {"no byte-order mark", head.substr(3) + row, "нет метки порядка байтов UTF-8"},
      {"part of the byte-order mark", "\xEF\xBB", "строка заголовка оборвана"},
      {"other header", otherHeader + row, "строка заголовка не та, что пишет программа"},
      {"header cut short", head.substr(0, head.size() - 10), "строка заголовка оборвана"},
      {"header without LF", head.substr(0, head.size() - 1), "строка заголовка оборвана"},
      {"header with LF only", head.substr(0, head.size() - 2) + "\n" + row, "строка заголовка не та"},
      {"32 fields", head + row + Fields("u", 32) + "\r\n", "строка 3: полей 32 вместо 33"},
      {"34 fields", head + Fields("u", 34) + "\r\n", "строка 2: больше 33 полей"},
      {"stray quote", head + strayQuote + "\r\n", "строка 2: лишняя кавычка в поле 3"},
      {"field without quotes", head + "u;" + Fields("v", 32) + "\r\n", "строка 2: поле 1 не начинается с кавычки"},
      {"unclosed last field", head + Fields("u") + "x\"y\r\n", "строка 2: лишняя кавычка в поле 33"},
      {"CR without LF", head + row + row.substr(0, 20) + "\r" + row.substr(20), "строка 3: символ CR без LF"},
      {"LF without CR", head + Fields("u") + "\n" + row, "строка 2: символ LF без CR"},
      {"empty line", head + row + "\r\n" + row, "строка 3: пустая строка"},
      {"not UTF-8", head + Fields("a\xFF" "b") + "\r\n", "строка 2: текст не в кодировке UTF-8"},
      {"cut line that is no row", head + row + "garbage", "строка 3: поле 1 не начинается с кавычки"},
      {"cut line with a stray CR", head + "\"a\r\";\"b", "строка 2: символ CR без LF"},
      {"NUL bytes before a cut line", head + std::string(8, '\0') + "garbage", "строка 2: поле 1 не начинается с кавычки"},
  };
  QTemporaryDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const QString path = WriteFile(dir, c.bytes);
    const TReadOutcome out = ReadAll(path);
    EXPECT_NE(out.error.find(path.toStdString()), std::string::npos) << out.error;
    EXPECT_NE(out.error.find(c.expected), std::string::npos) << out.error;
    EXPECT_EQ(out.error.find('\n'), std::string::npos);
  }
}

TEST(ResultFileReader, MissingFileIsAnErrorOfItsOwnNamingFileAndReason) {
  QTemporaryDir dir;
  const QString path = dir.path() + QStringLiteral("/absent.csv");
  try {
    TResultFileReader reader(path);
    ADD_FAILURE() << "no error";
  } catch (const EResultFileFormat&) {
    ADD_FAILURE() << "a missing file is not a format fault";
  } catch (const std::runtime_error& e) {
    const std::string message = e.what();
    EXPECT_NE(message.find(path.toStdString()), std::string::npos) << message;
    EXPECT_NE(message.find("No such file or directory"), std::string::npos) << message;
  }
}

TEST(ResultFileReader, ReadsBackWhatTheWriterWrote) {
  QTemporaryDir dir;
  TResultFile file(dir.path(), {}, {}, [] { return 5u; });
  file.Open();
  SupplierCard card;
  int column = 3;
  for (QString* v : card.Fields()) *v = QStringLiteral("значение %1; \"в кавычках\"\r\n").arg(column++);
  card.addressType = QString();
  file.WriteRow(QStringLiteral("https://h/show_supplier/7"), ActivityValue(false, true, false), card);
  file.WriteRow(QStringLiteral("https://h/show_supplier/8"), ActivityValue(false, false, false), card);
  file.Close();

  TResultFileReader reader(file.Path());
  std::vector<std::string_view> fields;
  ASSERT_TRUE(reader.Next(fields));
  EXPECT_EQ(fields[0], "https://h/show_supplier/7");
  EXPECT_EQ(fields[1], "Активный");
  EXPECT_EQ(fields[2], "значение 3; 'в кавычках'  ");
  EXPECT_EQ(fields[32], "");
  ASSERT_TRUE(reader.Next(fields));
  EXPECT_EQ(fields[1], "Неактивный");
  EXPECT_FALSE(reader.Next(fields));
  EXPECT_FALSE(reader.PartialTail());
  EXPECT_EQ(reader.WholeSize(), QFile(file.Path()).size());
}

TEST(ResultFileReader, RowsAcrossBufferRefillsAndLongerThanTheBuffer) {
  // Rows of uneven length so that refills fall everywhere inside rows, and one row longer
  // than a buffer of several megabytes.
  std::string bytes = Head();
  std::vector<std::string> expected;
  for (int i = 0; i < 4000; ++i) {
    expected.push_back("https://h/show_supplier/" + std::to_string(i) + std::string(static_cast<std::size_t>(i % 997), 'x'));
    if (i == 2500) {
      std::string letters(6u << 20, '\xD0');
      for (std::size_t k = 1; k < letters.size(); k += 2) letters[k] = '\xB6';  // "жжж..."
      expected.back() += letters;
    }
    bytes += Row(expected.back());
  }
  bytes += Fields("cut").substr(0, 50);
  QTemporaryDir dir;
  const TReadOutcome out = ReadAll(WriteFile(dir, bytes));
  EXPECT_EQ(out.error, "");
  EXPECT_TRUE(out.addresses == expected);
  EXPECT_TRUE(out.partialTail);
  EXPECT_EQ(out.wholeSize, static_cast<std::int64_t>(bytes.size() - 50));
}
