#include "compare/ResultCompare.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "export/PendingFile.h"
#include "export/XlsxBook.h"
#include "text/ResultFileReader.h"

namespace compare {

namespace {

constexpr int kColumns = text::TResultFile::kColumnCount;
constexpr int kActivityColumn = 1;

const char kNewKind[] = "Новый";
const char kGoneKind[] = "Выбыл";
const char kChangedKind[] = "Изменён";

std::string Title(int column) { return text::TResultFile::HeaderTitles()[column].toStdString(); }

int ColumnTitled(const char* title) {
  for (int c = 0; c < kColumns; ++c) {
    if (Title(c) == title) return c;
  }
  throw std::logic_error(std::string("no result column ") + title);
}

// The long form's columns: the change, the card (address, BIN, name), the field and its values.
const std::array<std::string, 7>& LongFormTitles() {
  static const std::array<std::string, 7> titles = {"Изменение", Title(0), Title(ColumnTitled("БИН участника")),
                                                    Title(ColumnTitled("Наименование на рус. языке")),
                                                    "Поле", "Было", "Стало"};
  return titles;
}

// Activity values as a small code: "N/A" is 0, so that a change from or to it can be told.
std::uint32_t ActivityCode(std::string_view value) {
  if (value == "N/A") return 0;
  if (value == "Активный") return 1;
  if (value == "Неактивный") return 2;
  return 3 + static_cast<std::uint32_t>(std::hash<std::string_view>{}(value) & 0x7FFFFFFFu);
}

bool ActivityDiffers(std::string_view a, std::string_view b) {
  return a != b && a != "N/A" && b != "N/A";
}

// A 64-bit hash of a row's bytes, 16 bytes per step with a 128-bit multiply, so that hashing
// costs little beside reading and splitting the row.
__extension__ typedef unsigned __int128 TUint128;

std::uint64_t Mum(std::uint64_t a, std::uint64_t b) {
  const TUint128 r = static_cast<TUint128>(a) * b;
  return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

std::uint64_t RowHash(std::string_view s) {
  constexpr std::uint64_t k0 = 0xa0761d6478bd642full, k1 = 0xe7037ed1a0b428dbull, k2 = 0x8ebc6af09c88c6e3ull;
  const char* p = s.data();
  std::size_t n = s.size();
  std::uint64_t h = k0 ^ Mum(n, k1);
  std::uint64_t a = 0, b = 0;
  for (; n > 16; n -= 16, p += 16) {
    std::memcpy(&a, p, 8);
    std::memcpy(&b, p + 8, 8);
    h = Mum(a ^ k1 ^ h, b ^ k2);
  }
  a = b = 0;
  std::memcpy(&a, p, std::min<std::size_t>(n, 8));
  if (n > 8) std::memcpy(&b, p + 8, n - 8);
  h = Mum(a ^ k1 ^ h, b ^ k2 ^ n);
  return Mum(h ^ k0, s.size() ^ k2);
}

// One row of a file, as the index keeps it.
struct TEntry {
  std::uint64_t Key = 0;       // hash of the address key
  std::int64_t Offset = 0;     // where the row starts in the file
  std::uint64_t Values = 0;    // hash of the 31 card values
  std::uint32_t Activity = 0;  // ActivityCode of the activity column
  std::uint32_t Row = 0;       // 0-based row number
};

struct TIndex {
  std::vector<TEntry> Entries;  // one per card (its last row), sorted by key
  std::int64_t Rows = 0;
};

TIndex ReadIndex(const QString& path) {
  TIndex index;
  text::TResultFileReader reader(path);
  // Room for as many rows as the file could hold (a row is more than 100 bytes): memory only
  // becomes resident as entries are written, and the index never moves while it grows.
  index.Entries.reserve(static_cast<std::size_t>(QFileInfo(path).size() / 100 + 16));
  std::vector<std::string_view> fields;
  const std::hash<std::string_view> hash;
  while (reader.Next(fields)) {
    TEntry e;
    e.Key = hash(text::AddressKey(fields[0]));
    e.Offset = reader.RowOffset();
    // The card values lie one after another in the line, quotes and separators between them.
    const char* from = fields[2].data();
    const char* to = fields[kColumns - 1].data() + fields[kColumns - 1].size();
    e.Values = RowHash(std::string_view(from, static_cast<std::size_t>(to - from)));
    e.Activity = ActivityCode(fields[kActivityColumn]);
    e.Row = static_cast<std::uint32_t>(reader.RowCount() - 1);
    index.Entries.push_back(e);
  }
  index.Rows = reader.RowCount();
  // The last row of an address counts.
  std::sort(index.Entries.begin(), index.Entries.end(),
            [](const TEntry& a, const TEntry& b) { return a.Key != b.Key ? a.Key < b.Key : a.Row > b.Row; });
  index.Entries.erase(std::unique(index.Entries.begin(), index.Entries.end(),
                                  [](const TEntry& a, const TEntry& b) { return a.Key == b.Key; }),
                      index.Entries.end());
  return index;
}

struct TPair {
  TEntry New;
  TEntry Old;
};

struct TDifferences {
  std::vector<TEntry> Added;  // in NEW's order
  std::vector<TEntry> Gone;   // in OLD's order
  std::vector<TPair> Changed;  // in NEW's order; may hold pairs that turn out equal
};

TDifferences Differences(const TIndex& older, const TIndex& newer) {
  TDifferences d;
  auto o = older.Entries.begin();
  auto n = newer.Entries.begin();
  while (o != older.Entries.end() || n != newer.Entries.end()) {
    if (n == newer.Entries.end() || (o != older.Entries.end() && o->Key < n->Key)) {
      d.Gone.push_back(*o++);
    } else if (o == older.Entries.end() || n->Key < o->Key) {
      d.Added.push_back(*n++);
    } else {
      const bool activity = o->Activity != n->Activity && o->Activity != 0 && n->Activity != 0;
      if (o->Values != n->Values || activity) d.Changed.push_back({*n, *o});
      ++o, ++n;
    }
  }
  const auto byRow = [](const TEntry& a, const TEntry& b) { return a.Row < b.Row; };
  std::sort(d.Added.begin(), d.Added.end(), byRow);
  std::sort(d.Gone.begin(), d.Gone.end(), byRow);
  std::sort(d.Changed.begin(), d.Changed.end(), [](const TPair& a, const TPair& b) { return a.New.Row < b.New.Row; });
  return d;
}

// Reads single rows of a file by their index entries.
class TRowPicker {
 public:
  explicit TRowPicker(const QString& path) : path_(path), reader_(path) {}
  const std::vector<std::string_view>& Row(const TEntry& e) {
    reader_.SeekRow(e.Offset, static_cast<std::int64_t>(e.Row) + 1);
    // A file replaced since it was indexed no longer has the card there.
    if (!reader_.Next(fields_) || std::hash<std::string_view>{}(text::AddressKey(fields_[0])) != e.Key) {
      throw std::runtime_error("Файл " + path_.toStdString() + " изменился во время сравнения");
    }
    return fields_;
  }

 private:
  QString path_;
  text::TResultFileReader reader_;
  std::vector<std::string_view> fields_;
};

// Where the changes go: the long form alone (CSV) or the whole workbook.
class TChangesOutput {
 public:
  virtual ~TChangesOutput() = default;
  virtual void Added(const std::vector<std::string_view>& row) { Card(kNewKind, row, -1, {}, {}); }
  virtual void Gone(const std::vector<std::string_view>& row) { Card(kGoneKind, row, -1, {}, {}); }
  void Change(const std::vector<std::string_view>& row, int column, std::string_view was, std::string_view now) {
    Card(kChangedKind, row, column, was, now);
  }
  virtual void Finish(const TCompareSummary& summary, const QString& oldPath, const QString& newPath) = 0;

 protected:
  // One line of the long form: its seven fields.
  virtual void LongFormLine(const std::vector<std::string_view>& fields) = 0;

 private:
  void Card(const char* kind, const std::vector<std::string_view>& row, int column, std::string_view was,
            std::string_view now) {
    static const int bin = ColumnTitled("БИН участника");
    static const int name = ColumnTitled("Наименование на рус. языке");
    const std::string field = column < 0 ? std::string() : Title(column);
    LongFormLine({kind, row[0], row[static_cast<std::size_t>(bin)], row[static_cast<std::size_t>(name)], field, was, now});
  }
};

std::string SystemReason(int err) { return std::system_category().message(err); }

// The long form in the result file's conventions: byte-order mark, every field quoted, ";",
// CR LF. Values come from result files, which hold no double quotes; the header's titles none.
class TCsvChanges final : public TChangesOutput {
 public:
  TCsvChanges(const std::string& file, const std::string& shown) : shown_(shown) {
    out_ = std::fopen(file.c_str(), "wb");
    if (out_ == nullptr) Fail(errno);
    Put("\xEF\xBB\xBF");
    LongFormLine(std::vector<std::string_view>(LongFormTitles().begin(), LongFormTitles().end()));
  }
  ~TCsvChanges() override {
    if (out_ != nullptr) std::fclose(out_);
  }
  void Finish(const TCompareSummary&, const QString&, const QString&) override {
    FILE* out = out_;
    out_ = nullptr;
    errno = 0;
    const bool flushed = std::fflush(out) == 0 && std::ferror(out) == 0;
    const int err = errno;
    if (std::fclose(out) != 0 || !flushed) Fail(err != 0 ? err : errno);
  }

 private:
  void LongFormLine(const std::vector<std::string_view>& fields) override {
    line_.clear();
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (i > 0) line_ += ';';
      line_ += '"';
      line_ += fields[i];
      line_ += '"';
    }
    line_ += "\r\n";
    Put(line_);
  }
  void Put(std::string_view bytes) {
    if (std::fwrite(bytes.data(), 1, bytes.size(), out_) != bytes.size()) Fail(errno);
  }
  [[noreturn]] void Fail(int err) const {
    throw exportx::EXlsxExport("Не удалось записать файл " + shown_ + ": " + SystemReason(err));
  }

  std::string shown_;
  FILE* out_ = nullptr;
  std::string line_;
};

// The workbook: "Сводка", "Новые", "Выбывшие" and "Изменения".
class TXlsxChanges final : public TChangesOutput {
 public:
  TXlsxChanges(const std::string& file, const std::string& scratch, const std::string& shown)
      : book_(file, scratch, shown) {
    using exportx::TColumnKind;
    summary_ = book_.AddSheet("Сводка", {{"Показатель", TColumnKind::ckText, 0}, {"Значение", TColumnKind::ckNumber, 0}});
    std::vector<exportx::TBookColumn> rows;
    for (int c = 0; c < kColumns; ++c) rows.push_back({Title(c), exportx::ColumnKind(c), 0});
    added_ = book_.AddSheet("Новые", rows);
    gone_ = book_.AddSheet("Выбывшие", rows);
    const auto& t = LongFormTitles();
    changes_ = book_.AddSheet("Изменения", {{t[0], TColumnKind::ckText, 0},
                                            {t[1], TColumnKind::ckText, 0},
                                            {t[2], TColumnKind::ckCode, 0},
                                            {t[3], TColumnKind::ckText, 0},
                                            {t[4], TColumnKind::ckText, 0},
                                            {t[5], TColumnKind::ckCode, 0},
                                            {t[6], TColumnKind::ckCode, 0}});
  }
  void Added(const std::vector<std::string_view>& row) override {
    book_.WriteRow(added_, row);
    TChangesOutput::Added(row);
  }
  void Gone(const std::vector<std::string_view>& row) override {
    book_.WriteRow(gone_, row);
    TChangesOutput::Gone(row);
  }
  void Finish(const TCompareSummary& s, const QString& oldPath, const QString& newPath) override {
    const auto put = [&](const std::string& what, const std::string& value) { book_.WriteRow(summary_, {what, value}); };
    put("Старый файл", oldPath.toStdString());
    put("Новый файл", newPath.toStdString());
    put("Строк в старом файле", std::to_string(s.OldRows));
    put("Карточек в старом файле", std::to_string(s.OldCards));
    put("Строк в новом файле", std::to_string(s.NewRows));
    put("Карточек в новом файле", std::to_string(s.NewCards));
    put("Новых карточек", std::to_string(s.Added));
    put("Выбывших карточек", std::to_string(s.Gone));
    put("Изменённых карточек", std::to_string(s.Changed));
    for (int c = 1; c < kColumns; ++c) {
      put("Изменений в столбце «" + Title(c) + "»", std::to_string(s.ChangesPerColumn[static_cast<std::size_t>(c)]));
    }
    book_.Close();
  }

 private:
  void LongFormLine(const std::vector<std::string_view>& fields) override { book_.WriteRow(changes_, fields); }

  exportx::TXlsxBook book_;
  int summary_ = 0, added_ = 0, gone_ = 0, changes_ = 0;
};

bool EndsWith(const QString& path, const char* ending) {
  return path.endsWith(QLatin1String(ending), Qt::CaseInsensitive);
}

bool SamePath(const QString& a, const QString& b) {
  return exportx::SameFile(a, b) || QDir::cleanPath(QFileInfo(a).absoluteFilePath()) ==
                                        QDir::cleanPath(QFileInfo(b).absoluteFilePath());
}

[[noreturn]] void Refuse(const QString& message) { throw ECompareRefused(message.toStdString()); }

}  // namespace

QString DefaultChangesPath(const QString& newPath) {
  const QString base = EndsWith(newPath, ".csv") ? newPath.left(newPath.size() - 4) : newPath;
  return base + QStringLiteral("-changes.xlsx");
}

TCompareSummary CompareResultFiles(const QString& oldPath, const QString& newPath, const QString& outputPath) {
  TCompareSummary summary;
  summary.OutputPath = outputPath.isEmpty() ? DefaultChangesPath(newPath) : outputPath;
  const QString& output = summary.OutputPath;
  const bool csv = EndsWith(output, ".csv");
  if (!csv && !EndsWith(output, ".xlsx")) {
    Refuse(QStringLiteral("файл изменений должен называться *.csv или *.xlsx: ") + output);
  }
  if (SamePath(oldPath, newPath)) Refuse(QStringLiteral("сравнивается один и тот же файл: ") + newPath);
  if (SamePath(output, oldPath) || SamePath(output, newPath)) {
    Refuse(QStringLiteral("файл изменений не может быть файлом, который сравнивается: ") + output);
  }
  const QFileInfo outputInfo(output);
  if (!outputInfo.absoluteDir().exists()) Refuse(QStringLiteral("нет такой папки: ") + outputInfo.absolutePath());
  if (outputInfo.isDir()) Refuse(QStringLiteral("это папка, а не файл: ") + output);

  // Both files whole first: a file that is no result file is refused before anything is written.
  TDifferences d;
  {
    const TIndex older = ReadIndex(oldPath);
    const TIndex newer = ReadIndex(newPath);
    summary.OldRows = older.Rows;
    summary.OldCards = static_cast<std::int64_t>(older.Entries.size());
    summary.NewRows = newer.Rows;
    summary.NewCards = static_cast<std::int64_t>(newer.Entries.size());
    d = Differences(older, newer);
  }

  exportx::TPendingFile pending(output);
  {
    std::unique_ptr<TChangesOutput> out;
    if (csv) {
      out = std::make_unique<TCsvChanges>(pending.Path(), output.toStdString());
    } else {
      out = std::make_unique<TXlsxChanges>(pending.Path(),
                                           QFile::encodeName(outputInfo.absolutePath()).toStdString(),
                                           output.toStdString());
    }
    TRowPicker olderRows(oldPath), newerRows(newPath);
    for (const TEntry& e : d.Added) out->Added(newerRows.Row(e));
    for (const TEntry& e : d.Gone) out->Gone(olderRows.Row(e));
    summary.Added = static_cast<std::int64_t>(d.Added.size());
    summary.Gone = static_cast<std::int64_t>(d.Gone.size());
    for (const TPair& p : d.Changed) {
      const std::vector<std::string_view>& was = olderRows.Row(p.Old);
      const std::vector<std::string_view>& now = newerRows.Row(p.New);
      bool changed = false;
      for (int c = 1; c < kColumns; ++c) {
        const std::string_view a = was[static_cast<std::size_t>(c)];
        const std::string_view b = now[static_cast<std::size_t>(c)];
        if (c == kActivityColumn ? !ActivityDiffers(a, b) : a == b) continue;
        out->Change(now, c, a, b);
        ++summary.ChangesPerColumn[static_cast<std::size_t>(c)];
        changed = true;
      }
      summary.Changed += changed;
    }
    out->Finish(summary, oldPath, newPath);
  }
  pending.Commit();
  return summary;
}

}  // namespace compare
