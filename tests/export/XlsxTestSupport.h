#pragma once
// Result files made for a test, and a written sheet read back from its XML: the cells with
// their types and styles, the frozen pane, the autofilter and the column widths.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "text/ResultFile.h"

// Readable failure messages for Qt strings.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }
inline void PrintTo(const QStringList& l, std::ostream* os) { *os << l.join(QStringLiteral(", ")).toStdString(); }
QT_END_NAMESPACE

namespace exporttest {

using TRow = std::vector<std::string>;

inline TRow HeaderRow() {
  TRow row;
  for (int c = 0; c < text::TResultFile::kColumnCount; ++c) {
    row.push_back(text::TResultFile::HeaderTitles()[c].toStdString());
  }
  return row;
}

// A row of plain values with the given columns (0-based) set.
inline TRow CardRow(const std::map<int, std::string>& set = {}) {
  TRow row(text::TResultFile::kColumnCount);
  row[0] = "https://localhost:8443/ru/registry/show_supplier/1";
  row[1] = "N/A";
  for (const auto& [c, v] : set) row[static_cast<std::size_t>(c)] = v;
  return row;
}

inline std::string CsvLine(const TRow& row) {
  std::string line;
  for (std::size_t i = 0; i < row.size(); ++i) line += (i ? ";\"" : "\"") + row[i] + '"';
  return line + "\r\n";
}

// Writes a result file as the harvest does: byte-order mark, header, rows, CR LF line ends;
// `tail` follows the last row (a line cut short).
inline void WriteResultFile(const QString& path, const std::vector<TRow>& rows, const std::string& tail = {}) {
  std::string bytes = "\xEF\xBB\xBF" + CsvLine(HeaderRow());
  for (const auto& r : rows) bytes += CsvLine(r);
  bytes += tail;
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly)) throw std::runtime_error("cannot write " + path.toStdString());
  f.write(bytes.data(), static_cast<qint64>(bytes.size()));
}

inline QByteArray ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline QStringList Entries(const QString& dir) {
  return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// Cards with leading-zero identifiers, Cyrillic and Kazakh text, semicolons, apostrophes, a
// formula, both date layouts; texts that only look like numbers or dates; texts the sheet's XML
// must escape (markup characters, a control character, an escape look-alike, U+FFFF) and
// spaces at both ends.
inline std::vector<TRow> TrickyRows() {
  return {
      CardRow({{0, "https://localhost:8443/ru/registry/show_supplier/026544"},
               {1, "Активный"},
               {2, "ТОО 'Ромашка; и партнёры'"},
               {3, "2015-03-12 10:15:07"},
               {4, "01.02.2024 10:15:00"},
               {5, "Поставщик; Заказчик"},
               {7, "026544552672"},
               {8, "000140012345"},
               {9, "060400123456"},
               {11, "=1+1"},
               {13, "011110000"},
               {17, "+7 (727) 000-00-00"},
               {21, "0042"},
               {22, "01"},
               {24, "06"},
               {25, "0201"},
               {26, "000000000001"},
               {29, "0755"},
               {30, "г. Алматы; ул. Абая, д. 1"}}),
      CardRow({{1, "N/A"},
               {2, "@SUM(A1) -1 +2"},
               {3, "31.02.2024"},
               {4, "2024-01-01T10:00:00"},
               {7, "1e5"},
               {8, "TRUE"},
               {9, "0.50"},
               {19, "10.03.2015"},
               {27, "O'Brien"}}),
      CardRow({{2, "_x0041_ a\x01" "b\tc"},
               {5, "  лидирующие и хвостовые пробелы  "},
               {6, "<&> \xEF\xBF\xBF"},
               {12, "Қазақстан Республикасының резиденті"}}),
  };
}

struct TCell {
  std::string Type;  // the t attribute: "inlineStr", "s", "str", or "" for a number
  std::string Text;  // the string, or the number as written
  int Style = 0;
};

struct TSheetXml {
  std::map<std::string, TCell> Cells;  // by reference, "A1"
  bool HasFormula = false;
  std::map<std::string, std::string> Pane;  // attributes of <pane>
  std::string AutoFilter;                   // its ref
  std::map<int, double> Widths;             // 1-based column -> width
  std::vector<int> XfNumFmt, XfFont;        // cellXfs
  std::vector<bool> FontBold;
  std::map<int, std::string> NumFmts;

  const TCell& At(const std::string& ref) const {
    static const TCell kNone{"none", "", 0};
    const auto it = Cells.find(ref);
    return it == Cells.end() ? kNone : it->second;
  }
  bool Bold(const std::string& ref) const {
    const int s = At(ref).Style;
    return s < static_cast<int>(XfFont.size()) && FontBold.at(static_cast<std::size_t>(XfFont[static_cast<std::size_t>(s)]));
  }
  // The number format code of a cell's style ("General" when none, "@" for text).
  std::string NumFmt(const std::string& ref) const {
    const int s = At(ref).Style;
    const int id = s < static_cast<int>(XfNumFmt.size()) ? XfNumFmt[static_cast<std::size_t>(s)] : 0;
    if (id == 0) return "General";
    if (id == 49) return "@";
    const auto it = NumFmts.find(id);
    return it == NumFmts.end() ? "builtin " + std::to_string(id) : it->second;
  }
};

inline std::string ColumnName(int column) {  // 0-based
  std::string name;
  for (int n = column + 1; n > 0; n = (n - 1) / 26) name.insert(name.begin(), static_cast<char>('A' + (n - 1) % 26));
  return name;
}
inline std::string Ref(int column, int row) { return ColumnName(column) + std::to_string(row); }  // row 1-based

// A cell string as a reader of the format sees it: "_xHHHH_" stands for that character.
inline std::string DecodeEscapes(const QString& raw) {
  QString out;
  for (qsizetype i = 0; i < raw.size(); ++i) {
    bool ok = false;
    if (raw[i] == u'_' && i + 6 < raw.size() && raw[i + 1] == u'x' && raw[i + 6] == u'_') {
      const uint code = raw.mid(i + 2, 4).toUInt(&ok, 16);
      if (ok) {
        out += QChar(static_cast<char16_t>(code));
        i += 6;
        continue;
      }
    }
    out += raw[i];
  }
  return out.toStdString();
}

inline void Unzip(const QString& xlsxPath, const QString& into) {
  QProcess unzip;
  unzip.start(QStringLiteral("unzip"), {QStringLiteral("-q"), QStringLiteral("-o"), xlsxPath,
                                        QStringLiteral("-d"), into});
  if (!unzip.waitForFinished(60000) || unzip.exitCode() != 0) {
    throw std::runtime_error("unzip failed on " + xlsxPath.toStdString());
  }
}

// The names of a book's sheets, in their order.
inline std::vector<std::string> SheetNames(const QString& xlsxPath) {
  QTemporaryDir dir;
  Unzip(xlsxPath, dir.path());
  std::vector<std::string> names;
  QXmlStreamReader x(ReadAll(dir.path() + QStringLiteral("/xl/workbook.xml")));
  while (!x.atEnd()) {
    if (x.readNext() == QXmlStreamReader::StartElement && x.name() == u"sheet") {
      names.push_back(x.attributes().value(QLatin1String("name")).toString().toStdString());
    }
  }
  return names;
}

// The `number`th sheet of a book (1-based), read back from its XML.
inline TSheetXml ReadBackXlsx(const QString& xlsxPath, int number = 1) {
  QTemporaryDir dir;
  Unzip(xlsxPath, dir.path());
  TSheetXml sheet;
  {
    QXmlStreamReader x(ReadAll(dir.path() + QStringLiteral("/xl/worksheets/sheet%1.xml").arg(number)));
    TCell* cell = nullptr;
    while (!x.atEnd()) {
      if (x.readNext() != QXmlStreamReader::StartElement) continue;
      const auto name = x.name();
      const auto a = x.attributes();
      if (name == u"c") {
        cell = &sheet.Cells[a.value(QLatin1String("r")).toString().toStdString()];
        cell->Type = a.value(QLatin1String("t")).toString().toStdString();
        cell->Style = a.value(QLatin1String("s")).toInt();
      } else if ((name == u"t" || name == u"v") && cell != nullptr) {
        cell->Text += DecodeEscapes(x.readElementText());
      } else if (name == u"f") {
        sheet.HasFormula = true;
      } else if (name == u"pane") {
        for (const auto& at : a) sheet.Pane[at.name().toString().toStdString()] = at.value().toString().toStdString();
      } else if (name == u"autoFilter") {
        sheet.AutoFilter = a.value(QLatin1String("ref")).toString().toStdString();
      } else if (name == u"col") {
        for (int c = a.value(QLatin1String("min")).toInt(); c <= a.value(QLatin1String("max")).toInt(); ++c) sheet.Widths[c] = a.value(QLatin1String("width")).toDouble();
      }
    }
    if (x.hasError()) throw std::runtime_error("sheet XML: " + x.errorString().toStdString());
  }
  {
    QXmlStreamReader x(ReadAll(dir.path() + QStringLiteral("/xl/styles.xml")));
    bool inXfs = false, inFonts = false;
    while (!x.atEnd()) {
      x.readNext();
      if (x.isEndElement() && x.name() == u"cellXfs") inXfs = false;
      if (x.isEndElement() && x.name() == u"fonts") inFonts = false;
      if (!x.isStartElement()) continue;
      const auto name = x.name();
      const auto a = x.attributes();
      if (name == u"numFmt") {
        sheet.NumFmts[a.value(QLatin1String("numFmtId")).toInt()] = a.value(QLatin1String("formatCode")).toString().toStdString();
      } else if (name == u"cellXfs") {
        inXfs = true;
      } else if (name == u"fonts") {
        inFonts = true;
      } else if (inXfs && name == u"xf") {
        sheet.XfNumFmt.push_back(a.value(QLatin1String("numFmtId")).toInt());
        sheet.XfFont.push_back(a.value(QLatin1String("fontId")).toInt());
      } else if (inFonts && name == u"font") {
        sheet.FontBold.push_back(false);
      } else if (inFonts && name == u"b") {
        sheet.FontBold.back() = true;
      }
    }
  }
  return sheet;
}

}  // namespace exporttest
