#include "export/XlsxSheet.h"

#include "export/XlsxBook.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace exportx {

namespace {

using enum TColumnKind;

// One entry per column of the result file, in its order.
constexpr std::array<TColumnKind, kColumnCount> kColumnKinds = {
    ckText,  // URL карточки
    ckText,  // Активный/Неактивный
    ckText,  // Заголовок
    ckDate,  // Дата регистрации
    ckDate,  // Дата последнего обновления
    ckText,  // Роли участника
    ckText,  // Состоит в реестре государственных заказчиков
    ckCode,  // ИИН участника
    ckCode,  // БИН участника
    ckCode,  // РНН участника
    ckText,  // Наименование на каз. языке
    ckText,  // Наименование на рус. языке
    ckText,  // Резиденство
    ckCode,  // КАТО
    ckText,  // Регион
    ckText,  // Вебсайт
    ckText,  // E-Mail
    ckCode,  // Контактный телефон
    ckCode,  // Серия свидетельства ... и номер свидетельства о государственной регистрации
    ckText,  // Дата свидетельства о государственной регистрации
    ckText,  // Наименование администратора(ов) отчетности
    ckCode,  // КОПФ
    ckCode,  // Код формы собственности
    ckText,  // Размерность предприятия
    ckCode,  // Код сектора экономики
    ckCode,  // Руководитель:ИИН
    ckCode,  // Руководитель:РНН
    ckText,  // Руководитель:ФИО
    ckText,  // Страна
    ckCode,  // КАТО (адрес)
    ckText,  // Полный адрес(рус)
    ckText,  // Полный адрес(каз)
    ckText,  // Тип адреса
};
static_assert(kColumnKinds.size() == text::TResultFile::kColumnCount);

// Each layout: its pattern (Y M D h m s stand for one digit each) and the sheet's number format
// that shows the value in the same layout.
struct TLayoutInfo {
  TDateLayout Layout;
  std::string_view Pattern;
  const char* NumberFormat;
};
constexpr std::array<TLayoutInfo, 6> kLayouts = {{
    {TDateLayout::dlIsoDate, "YYYY-MM-DD", "yyyy-mm-dd"},
    {TDateLayout::dlIsoMinutes, "YYYY-MM-DD hh:mm", "yyyy-mm-dd hh:mm"},
    {TDateLayout::dlIsoSeconds, "YYYY-MM-DD hh:mm:ss", "yyyy-mm-dd hh:mm:ss"},
    {TDateLayout::dlDotDate, "DD.MM.YYYY", "dd.mm.yyyy"},
    {TDateLayout::dlDotMinutes, "DD.MM.YYYY hh:mm", "dd.mm.yyyy hh:mm"},
    {TDateLayout::dlDotSeconds, "DD.MM.YYYY hh:mm:ss", "dd.mm.yyyy hh:mm:ss"},
}};

// A date cell's format is found by its layout's number.
constexpr bool LayoutsInOrder() {
  for (std::size_t i = 0; i < kLayouts.size(); ++i) {
    if (static_cast<std::size_t>(kLayouts[i].Layout) != i) return false;
  }
  return true;
}
static_assert(LayoutsInOrder());

int DaysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

std::optional<TPortalDate> MatchLayout(std::string_view value, const TLayoutInfo& info) {
  if (value.size() != info.Pattern.size()) return std::nullopt;
  TPortalDate d;
  d.Layout = info.Layout;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char p = info.Pattern[i];
    const char c = value[i];
    int* part = nullptr;
    switch (p) {
      case 'Y': part = &d.Year; break;
      case 'M': part = &d.Month; break;
      case 'D': part = &d.Day; break;
      case 'h': part = &d.Hour; break;
      case 'm': part = &d.Minute; break;
      case 's': part = &d.Second; break;
      default:
        if (c != p) return std::nullopt;
        continue;
    }
    if (c < '0' || c > '9') return std::nullopt;
    *part = *part * 10 + (c - '0');
  }
  if (d.Year < 1901 || d.Month < 1 || d.Month > 12 || d.Day < 1 ||
      d.Day > DaysInMonth(d.Year, d.Month) || d.Hour > 23 || d.Minute > 59 || d.Second > 59) {
    return std::nullopt;
  }
  return d;
}

std::string Title(int column) { return text::TResultFile::HeaderTitles()[column].toStdString(); }

// The worksheet's XML for one cell: its tag and reference, and its text escaped (an upper bound).
constexpr std::int64_t kCellXmlOverhead = 64;
constexpr std::int64_t kEscapeFactor = 6;
constexpr std::int64_t kZip64Threshold = 3'500'000'000;

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

}  // namespace

void CellText(std::string_view value, std::string& out) {
  out.clear();
  if (value.find('_') == std::string_view::npos && value.find('\xEF') == std::string_view::npos) {
    out.assign(value);
    return;
  }
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    // "_x0041_" in a cell's XML means "A"; a literal one keeps its text by escaping its "_".
    if (c == '_' && i + 6 < value.size() && value[i + 1] == 'x' && IsHex(value[i + 2]) &&
        IsHex(value[i + 3]) && IsHex(value[i + 4]) && IsHex(value[i + 5]) && value[i + 6] == '_') {
      out += "_x005F_";
      continue;
    }
    // U+FFFE and U+FFFF are not allowed in XML at all.
    if (c == '\xEF' && i + 2 < value.size() && value[i + 1] == '\xBF' &&
        (value[i + 2] == '\xBE' || value[i + 2] == '\xBF')) {
      out += value[i + 2] == '\xBE' ? "_xFFFE_" : "_xFFFF_";
      i += 2;
      continue;
    }
    out += c;
  }
}

TColumnKind ColumnKind(int column) { return kColumnKinds.at(static_cast<std::size_t>(column)); }

std::optional<TPortalDate> ParsePortalDate(std::string_view value) {
  for (const auto& info : kLayouts) {
    if (auto d = MatchLayout(value, info)) return d;
  }
  return std::nullopt;
}

std::int64_t Utf16Length(std::string_view s) {
  std::int64_t units = 0;
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    int extra = 0;
    std::uint32_t cp = 0;
    if (b < 0x80) {
      cp = b;
    } else if (b >= 0xC2 && b <= 0xDF) {
      extra = 1, cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      extra = 2, cp = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      extra = 3, cp = b & 0x07;
    } else {
      return -1;
    }
    if (static_cast<std::size_t>(extra) > s.size() - i - 1) return -1;  // cut short
    for (int k = 1; k <= extra; ++k) {
      const auto c = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
      if ((c & 0xC0) != 0x80) return -1;
      cp = (cp << 6) | (c & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return -1;
    }
    units += cp >= 0x10000 ? 2 : 1;
    i += static_cast<std::size_t>(extra) + 1;
  }
  return units;
}

std::int64_t CharacterCount(std::string_view s) {
  std::int64_t n = 0;
  for (const char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

TSheetPlan::TSheetPlan() {
  for (int c = 0; c < kColumnCount; ++c) {
    widest_[static_cast<std::size_t>(c)] = CharacterCount(Title(c));
  }
}

void TSheetPlan::AddRow(const std::vector<std::string_view>& fields, std::int64_t lineNumber,
                        const std::string& sourceName) {
  if (rows_ >= kMaxDataRows) {
    throw EXlsxExport("В файле " + sourceName + " больше строк, чем помещается на лист (" +
                      std::to_string(kMaxDataRows) + ")");
  }
  if (fields.size() != static_cast<std::size_t>(kColumnCount)) {
    throw EXlsxExport("Строка " + std::to_string(lineNumber) + " файла " + sourceName + ": " +
                      std::to_string(fields.size()) + " полей вместо " + std::to_string(kColumnCount));
  }
  for (int c = 0; c < kColumnCount; ++c) {
    const std::string_view v = fields[static_cast<std::size_t>(c)];
    const std::int64_t units = Utf16Length(v);
    if (units < 0 || units > kMaxCellLength) {
      const std::string where =
          "Строка " + std::to_string(lineNumber) + " файла " + sourceName + ", столбец «" + Title(c) + "»: ";
      if (units < 0) throw EXlsxExport(where + "текст не в кодировке UTF-8");
      throw EXlsxExport(where + "значение длиннее " + std::to_string(kMaxCellLength) +
                        " знаков не помещается в ячейку");
    }
    auto& widest = widest_[static_cast<std::size_t>(c)];
    widest = std::max(widest, CharacterCount(v));
    xmlEstimate_ += kCellXmlOverhead + kEscapeFactor * static_cast<std::int64_t>(v.size());
  }
  ++rows_;
}

double TSheetPlan::ColumnWidth(int column) const {
  // A character of padding on each side, as a spreadsheet's own column fitting leaves.
  const double fitted = static_cast<double>(widest_.at(static_cast<std::size_t>(column))) + 2;
  return std::clamp(fitted, kMinColumnWidth, kMaxColumnWidth);
}

bool TSheetPlan::NeedsZip64() const { return xmlEstimate_ > kZip64Threshold; }

const char* DateNumberFormat(TDateLayout layout) {
  return kLayouts.at(static_cast<std::size_t>(layout)).NumberFormat;
}

struct TXlsxSheetWriter::TState {
  TState(const std::string& path, const TSheetPlan& plan, const std::string& scratchDir, const std::string& shown)
      : Book(path, scratchDir, shown, plan.NeedsZip64()), Path(shown.empty() ? path : shown), Planned(plan.RowCount()) {}
  TXlsxBook Book;
  std::string Path;  // the name errors give
  std::int64_t Planned = 0;
  int Sheet = 0;
};

TXlsxSheetWriter::TXlsxSheetWriter(const std::string& path, const TSheetPlan& plan,
                                   const std::string& scratchDir, const std::string& shownName)
    : state_(std::make_unique<TState>(path, plan, scratchDir, shownName)) {
  std::vector<TBookColumn> columns;
  for (int c = 0; c < kColumnCount; ++c) columns.push_back({Title(c), ColumnKind(c), plan.ColumnWidth(c)});
  state_->Sheet = state_->Book.AddSheet({}, std::move(columns));
}

TXlsxSheetWriter::~TXlsxSheetWriter() = default;

void TXlsxSheetWriter::WriteRow(const std::vector<std::string_view>& fields) {
  auto& s = *state_;
  if (s.Book.Rows(s.Sheet) >= s.Planned || fields.size() != static_cast<std::size_t>(kColumnCount)) {
    throw EXlsxExport("Строки для файла " + s.Path + " не совпадают с первым проходом");
  }
  s.Book.WriteRow(s.Sheet, fields);
}

void TXlsxSheetWriter::Close() {
  auto& s = *state_;
  if (s.Book.Rows(s.Sheet) != s.Planned) {
    throw EXlsxExport("Строки для файла " + s.Path + " не совпадают с первым проходом");
  }
  s.Book.Close();
}

}  // namespace exportx
