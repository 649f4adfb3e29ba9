// The result file: its name, its bytes, its life cycle and what happens when writing fails.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <sys/resource.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include "text/ResultFile.h"

using namespace text;

namespace {

struct TRecorder {
  QStringList log;
  QStringList opened;
  TResultFile Make(const QString& dir, std::uint32_t tick) {
    return TResultFile(
        dir, [this](const QString& m) { log << m; }, [this](const QString& p) { opened << p; },
        [tick] { return tick; });
  }
};

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return QByteArray();
  return f.readAll();
}

const char kHeader[] =
    "\"URL карточки\";\"Активный/Неактивный\";\"Заголовок\";\"Дата регистрации\";"
    "\"Дата последнего обновления\";\"Роли участника\";"
    "\"Состоит в реестре государственных заказчиков\";\"ИИН участника\";\"БИН участника\";"
    "\"РНН участника\";\"Наименование на каз. языке\";\"Наименование на рус. языке\";"
    "\"Резиденство\";\"КАТО\";\"Регион\";\"Вебсайт\";\"E-Mail\";\"Контактный телефон\";"
    "\"Серия свидетельства (для ИП) и номер свидетельства о государственной регистрации\";"
    "\"Дата свидетельства о государственной регистрации\";"
    "\"Наименование администратора(ов) отчетности\";\"КОПФ\";\"Код формы собственности\";"
    "\"Размерность предприятия\";\"Код сектора экономики\";\"Руководитель:ИИН\";"
    "\"Руководитель:РНН\";\"Руководитель:ФИО\";\"Страна\";\"КАТО\";\"Полный адрес(рус)\";"
    "\"Полный адрес(каз)\";\"Тип адреса\"\r\n";

// A card whose value in column c is "v<c>", with a few values that test the quoting.
SupplierCard NumberedCard() {
  SupplierCard card;
  int column = 3;
  for (QString* v : card.Fields()) *v = QStringLiteral("v%1").arg(column++);
  card.title = QStringLiteral("ТОО 'Ромашка'");
  card.participantRoles = QStringLiteral("Поставщик; Заказчик");
  card.addressType = QString();
  return card;
}

QByteArray NumberedRow(const char* address, const char* activity) {
  QByteArray row = QByteArray("\"") + address + "\";\"" + activity + "\";\"ТОО 'Ромашка'\";\"v4\";\"v5\";"
                   "\"Поставщик; Заказчик\"";
  for (int c = 7; c <= 32; ++c) row += ";\"v" + QByteArray::number(c) + "\"";
  return row + ";\"\"\r\n";
}

// Runs write with the process's file size limit at limit bytes: a write past it gets in only in
// part, then fails (EFBIG, the signal ignored), as on a full disk.
void WithFileSizeLimit(qsizetype limit, const std::function<void()>& write) {
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit limited = saved;
  limited.rlim_cur = static_cast<rlim_t>(limit);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  void (*savedHandler)(int) = std::signal(SIGXFSZ, SIG_IGN);
  write();
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, savedHandler);
}

}  // namespace

TEST(ResultFile, WritesBomHeaderAndRowsByteForByte) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  TRecorder rec;
  TResultFile file = rec.Make(dir.path(), 123456);
  file.Open();
  const QString path = dir.path() + QStringLiteral("/data123456.csv");
  EXPECT_EQ(file.Path(), path);
  EXPECT_TRUE(file.Started());

  file.WriteRow(QStringLiteral("https://localhost:8443/ru/registry/show_supplier/1"), ActivityValue(true, false, false),
                NumberedCard());
  // Every row is in the file as soon as it is written, before the file is closed.
  const QByteArray bom("\xEF\xBB\xBF");
  const QByteArray first = NumberedRow("https://localhost:8443/ru/registry/show_supplier/1", "N/A");
  EXPECT_EQ(ReadAll(path), bom + kHeader + first);

  file.WriteRow(QStringLiteral("https://localhost:8443/ru/registry/show_supplier/2"),
                ActivityValue(false, true, false), NumberedCard());
  EXPECT_TRUE(rec.opened.isEmpty());
  file.Close();
  EXPECT_EQ(ReadAll(path),
            bom + kHeader + first + NumberedRow("https://localhost:8443/ru/registry/show_supplier/2", "Активный"));

  EXPECT_EQ(rec.log, QStringList({QStringLiteral("Данные будут записываться в файл ") + path,
                                  QStringLiteral("Открываем файл с результатами")}));
  EXPECT_EQ(rec.opened, QStringList({path}));
  file.Close();  // a second close opens nothing again
  EXPECT_EQ(rec.opened.size(), 1);
}

TEST(ResultFile, HeaderOnlyFileIsStillOpenedAndReplacesAnOldOne) {
  QTemporaryDir dir;
  TRecorder rec;
  const QString path = dir.path() + QStringLiteral("/data7.csv");
  {
    QFile old(path);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write(QByteArray(5000, 'x'));
  }
  TResultFile file = rec.Make(dir.path() + QStringLiteral("/"), 7);
  file.Open();
  EXPECT_EQ(file.Path(), path);
  file.Close();
  EXPECT_EQ(ReadAll(path), QByteArray("\xEF\xBB\xBF") + kHeader);
  EXPECT_EQ(rec.opened, QStringList({path}));
}

TEST(ResultFile, NameCarriesTheCounterAsSigned32Bit) {
  const struct {
    std::uint32_t tick;
    const char* name;
  } cases[] = {
      {0, "data0.csv"},
      {2147483647u, "data2147483647.csv"},
      {2147483648u, "data-2147483648.csv"},
      {4294967295u, "data-1.csv"},
  };
  QTemporaryDir dir;
  for (const auto& c : cases) {
    TRecorder rec;
    TResultFile file = rec.Make(dir.path(), c.tick);
    file.Open();
    file.Close();
    EXPECT_EQ(file.Path(), dir.path() + u'/' + QString::fromLatin1(c.name));
    EXPECT_TRUE(QFile::exists(file.Path())) << c.name;
  }
}

TEST(ResultFile, CreationFailureNamesThePathAndTheReason) {
  QTemporaryDir dir;
  // A folder of the same name, and a folder that does not exist.
  ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("data5.csv")));
  const struct {
    QString programDir;
    std::uint32_t tick;
    const char* reason;
  } cases[] = {
      {dir.path(), 5, "Is a directory"},
      {dir.path() + QStringLiteral("/missing"), 6, "No such file or directory"},
  };
  for (const auto& c : cases) {
    TRecorder rec;
    TResultFile file = rec.Make(c.programDir, c.tick);
    try {
      file.Open();
      ADD_FAILURE() << "no error for " << c.programDir.toStdString();
    } catch (const std::runtime_error& e) {
      const std::string message = e.what();
      EXPECT_NE(message.find(file.Path().toStdString()), std::string::npos) << message;
      EXPECT_NE(message.find(c.reason), std::string::npos) << message;
    }
    EXPECT_FALSE(file.Started());
    file.WriteRow(QStringLiteral("u"), QStringLiteral("N/A"), SupplierCard());
    file.Close();
    EXPECT_TRUE(rec.opened.isEmpty());
  }
}

// The first failure is named; the close gives the count of the lines left out (here the header
// and three rows), which a front end turns into its failure status.
TEST(ResultFile, FailedWritesAreLoggedOnceCountedAndTheRunGoesOn) {
  QTemporaryDir dir;
  // The file name leads to a device on which every write fails for lack of space.
  ASSERT_TRUE(QFile::link(QStringLiteral("/dev/full"), dir.path() + QStringLiteral("/data9.csv")));
  TRecorder rec;
  TResultFile file = rec.Make(dir.path(), 9);
  ASSERT_NO_THROW(file.Open());
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(file.WriteRow(QStringLiteral("u"), QStringLiteral("N/A"), NumberedCard()));
  file.Close();
  EXPECT_EQ(file.LostRows(), 4);
  const QString errorLine =
      QStringLiteral("Ошибка записи в файл ") + file.Path() + QStringLiteral(": No space left on device");
  EXPECT_EQ(rec.log, QStringList({QStringLiteral("Данные будут записываться в файл ") + file.Path(), errorLine,
                                  QStringLiteral("Не записано строк в файл ") + file.Path() + QStringLiteral(": 4"),
                                  QStringLiteral("Открываем файл с результатами")}));
}

TEST(ResultFile, RowCutShortByAFailedWriteIsTakenBackWhole) {
  // A file size limit lets the second row in only in part: the file must keep whole lines.
  QTemporaryDir dir;
  TRecorder rec;
  TResultFile file = rec.Make(dir.path(), 21);
  file.Open();
  EXPECT_TRUE(file.WriteRow(QStringLiteral("u1"), QStringLiteral("N/A"), NumberedCard()));
  const QByteArray whole = ReadAll(file.Path());

  WithFileSizeLimit(whole.size() + 40, [&] {
    EXPECT_FALSE(file.WriteRow(QStringLiteral("u2"), QStringLiteral("N/A"), NumberedCard()));
    EXPECT_FALSE(file.WriteRow(QStringLiteral("u3"), QStringLiteral("N/A"), NumberedCard()));
  });

  EXPECT_EQ(ReadAll(file.Path()), whole);
  // Space is back: the run goes on and the next row lands after the last whole one.
  EXPECT_TRUE(file.WriteRow(QStringLiteral("u4"), QStringLiteral("N/A"), NumberedCard()));
  file.Close();
  EXPECT_EQ(ReadAll(file.Path()), whole + NumberedRow("u4", "N/A"));
  ASSERT_EQ(rec.log.size(), 4);
  EXPECT_TRUE(rec.log[1].startsWith(QStringLiteral("Ошибка записи в файл ") + file.Path() + QStringLiteral(": ")));
  EXPECT_EQ(rec.log[2], QStringLiteral("Не записано строк в файл ") + file.Path() + QStringLiteral(": 2"));
}

TEST(ResultFile, RowAfterAPartOfOneThatCouldNotBeCutOffStartsAtTheLastWholeLine) {
  // A long row gets in only in part and the file refuses to be cut back; the next, shorter row
  // must not be glued onto the part, and once a cut works the file is whole lines again.
  const struct {
    const char* what;
    int failingCuts;     // how many cuts fail before they work again (-1: all of them)
    bool wholeAtTheEnd;  // whether the part's leftover bytes are gone by the close
  } cases[] = {
      {"the cut fails once", 1, true},
      {"every cut fails", -1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    QTemporaryDir dir;
    TRecorder rec;
    TResultFile file = rec.Make(dir.path(), 23);
    int cutsLeftToFail = c.failingCuts;
    file.SetTruncate([&](int fd, std::int64_t size) {
      if (cutsLeftToFail == 0) return ::ftruncate(fd, static_cast<off_t>(size));
      if (cutsLeftToFail > 0) --cutsLeftToFail;
      errno = EIO;
      return -1;
    });
    file.Open();
    file.WriteRow(QStringLiteral("u1"), QStringLiteral("N/A"), NumberedCard());
    const QByteArray whole = ReadAll(file.Path());

    SupplierCard longCard = NumberedCard();
    longCard.nameRussian = QString(3000, u'я');
    WithFileSizeLimit(whole.size() + 2000,
                      [&] { file.WriteRow(QStringLiteral("u2"), QStringLiteral("N/A"), longCard); });

    file.WriteRow(QStringLiteral("u3"), QStringLiteral("N/A"), NumberedCard());
    file.Close();
    const QByteArray expected = whole + NumberedRow("u3", "N/A");
    const QByteArray got = ReadAll(file.Path());
    EXPECT_TRUE(got.startsWith(expected)) << "after the whole lines: " << got.mid(whole.size(), 40).toStdString();
    if (c.wholeAtTheEnd) {
      EXPECT_TRUE(got == expected) << got.size() - expected.size() << " bytes left of the part";
    }
    ASSERT_EQ(rec.log.size(), 4);
    EXPECT_EQ(file.LostRows(), 1);
    EXPECT_TRUE(rec.log[1].startsWith(QStringLiteral("Ошибка записи в файл ") + file.Path() + QStringLiteral(": ")));
  }
}

TEST(ResultFile, EveryRowStaysOneLineWithoutInnerQuotes) {
  QTemporaryDir dir;
  TRecorder rec;
  TResultFile file = rec.Make(dir.path(), 11);
  file.Open();
  SupplierCard card;
  card.title = QStringLiteral("a\r\nb\"c\"");  // not from the parser: the file guards itself
  card.addressType = QStringLiteral("x\ny");
  file.WriteRow(QStringLiteral("https://h/show_supplier/1\r\n2\"3"), QStringLiteral("N/A"), card);
  file.Close();
  const QByteArray bytes = ReadAll(file.Path());
  const QList<QByteArray> lines = bytes.split('\n');
  ASSERT_EQ(lines.size(), 3);  // header, row, and nothing after the last CR LF
  EXPECT_TRUE(lines[2].isEmpty());
  EXPECT_TRUE(lines[1].startsWith("\"https://h/show_supplier/1  2'3\";\"N/A\";\"a  b'c'\";"));
  EXPECT_TRUE(lines[1].endsWith(";\"x y\"\r"));
  EXPECT_EQ(lines[1].count('"'), 2 * TResultFile::kColumnCount);
  EXPECT_EQ(lines[1].count('\r'), 1);
}

TEST(ResultFile, OthersCanReadButNotLockForWritingWhileOpen) {
  QTemporaryDir dir;
  TRecorder rec;
  TResultFile file = rec.Make(dir.path(), 13);
  file.Open();
  const QByteArray nativePath = QFile::encodeName(file.Path());
  const int reader = ::open(nativePath.constData(), O_RDONLY);
  ASSERT_GE(reader, 0);
  char bom[3] = {};
  EXPECT_EQ(::read(reader, bom, 3), 3);
  EXPECT_EQ(std::string(bom, 3), "\xEF\xBB\xBF");
  ::close(reader);
  const int writer = ::open(nativePath.constData(), O_WRONLY);
  ASSERT_GE(writer, 0);
  EXPECT_NE(::flock(writer, LOCK_EX | LOCK_NB), 0);  // the program holds the write lock
  ::close(writer);
  file.Close();
}

TEST(ActivityValue, FollowsTheExportMode) {
  const struct {
    bool allInARow, activeChecked, inInactiveSet;
    const char* value;
  } cases[] = {
      {true, false, false, "N/A"},       {true, true, true, "N/A"},
      {false, false, false, "Неактивный"}, {false, false, true, "Неактивный"},
      {false, true, true, "Неактивный"},   {false, true, false, "Активный"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ActivityValue(c.allInARow, c.activeChecked, c.inInactiveSet), QString::fromUtf8(c.value));
  }
}

TEST(ResultFile, AppendModeContinuesAFileAfterItsLastWholeLine) {
  QTemporaryDir dir;
  TRecorder rec;
  const QByteArray bom("\xEF\xBB\xBF");
  const QByteArray start = bom + kHeader + NumberedRow("u1", "N/A");
  const QString path = dir.path() + QStringLiteral("/data3.csv");
  {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(start);
  }
  TResultFile file = rec.Make(dir.path(), 99);
  file.OpenAppend(path, start.size());
  EXPECT_EQ(file.Path(), path);
  EXPECT_TRUE(file.Started());

  // While it is open, a second writer is refused, and so is a size the file no longer has.
  TRecorder other;
  const struct {
    QString path;
    std::int64_t size;
    const char* reason;
  } refusals[] = {
      {path, start.size(), "его пишет другая выгрузка"},
      {dir.path() + QStringLiteral("/absent.csv"), 0, "No such file or directory"},
  };
  for (const auto& r : refusals) {
    TResultFile second = other.Make(dir.path(), 98);
    try {
      second.OpenAppend(r.path, r.size);
      ADD_FAILURE() << "no error for " << r.reason;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), (QStringLiteral("Не удалось дописать файл ") + r.path + QStringLiteral(": ")).toStdString() + r.reason);
    }
    EXPECT_FALSE(second.Started());
    second.Close();
  }
  EXPECT_TRUE(other.opened.isEmpty());

  // A row cut short by a failed write is taken back to the end of the last whole line.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  void (*savedHandler)(int) = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limited = saved;
  limited.rlim_cur = static_cast<rlim_t>(start.size() + 40);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  file.WriteRow(QStringLiteral("u2"), QStringLiteral("N/A"), NumberedCard());
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, savedHandler);
  EXPECT_EQ(ReadAll(path), start);

  file.WriteRow(QStringLiteral("u3"), QStringLiteral("N/A"), NumberedCard());
  file.Close();
  EXPECT_EQ(ReadAll(path), start + NumberedRow("u3", "N/A"));  // no second header
  ASSERT_EQ(rec.log.size(), 4);
  EXPECT_EQ(rec.log[0], QStringLiteral("Данные будут дописываться в файл ") + path);
  EXPECT_EQ(rec.log[2], QStringLiteral("Не записано строк в файл ") + path + QStringLiteral(": 1"));
  EXPECT_EQ(rec.log[3], QStringLiteral("Открываем файл с результатами"));
  EXPECT_EQ(rec.opened, QStringList({path}));

  // Closed, it can be continued again, but only at the size it has.
  TResultFile again = other.Make(dir.path(), 97);
  try {
    again.OpenAppend(path, start.size());
    ADD_FAILURE() << "a changed file was continued";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("файл изменился с начала выгрузки"), std::string::npos) << e.what();
  }
  EXPECT_NO_THROW(again.OpenAppend(path, ReadAll(path).size()));
  again.Close();
}
