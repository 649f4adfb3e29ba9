// The sheet's rules without files: which texts are dates, how text is measured, and what a
// sheet cannot hold.
#include <gtest/gtest.h>

#include <string>

#include "export/XlsxSheet.h"

using namespace exportx;

namespace {

TEST(PortalDate, LayoutsThePortalWritesAreDates) {
  struct TCase {
    const char* Text;
    TDateLayout Layout;
    int Y, Mo, D, H, Mi, S;
  } const cases[] = {
      {"2015-03-12 10:15:07", TDateLayout::dlIsoSeconds, 2015, 3, 12, 10, 15, 7},
      {"2015-03-12 23:59", TDateLayout::dlIsoMinutes, 2015, 3, 12, 23, 59, 0},
      {"2015-03-12", TDateLayout::dlIsoDate, 2015, 3, 12, 0, 0, 0},
      {"01.02.2024 10:15:00", TDateLayout::dlDotSeconds, 2024, 2, 1, 10, 15, 0},
      {"01.02.2024 00:00", TDateLayout::dlDotMinutes, 2024, 2, 1, 0, 0, 0},
      {"29.02.2024", TDateLayout::dlDotDate, 2024, 2, 29, 0, 0, 0},
      {"2000-02-29", TDateLayout::dlIsoDate, 2000, 2, 29, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Text);
    const auto d = ParsePortalDate(c.Text);
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->Layout, c.Layout);
    EXPECT_EQ((std::array{d->Year, d->Month, d->Day, d->Hour, d->Minute, d->Second}),
              (std::array{c.Y, c.Mo, c.D, c.H, c.Mi, c.S}));
  }
}

TEST(PortalDate, AnythingElseStaysText) {
  // Each of these would change its text if shown through a date format, or is no real moment.
  for (const char* text : {"", "31.02.2024", "29.02.2023", "1900-02-29", "2024-13-01", "2024-00-10",
                           "00.01.2024", "2024-01-01 24:00", "2024-01-01 10:60", "2024-01-01 10:00:60",
                           "1.2.2024", "01.02.24", "2024-1-2", " 2024-01-01", "2024-01-01 ",
                           "2024-01-01T10:00:00", "2024/01/01", "1900-05-01", "12.03.2015г.", "N/A",
                           "２０２４-01-01", "2024-01-01 10:15:00.5"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(ParsePortalDate(text).has_value());
  }
}

TEST(TextMeasure, CountsCharactersAndRefusesBrokenUtf8) {
  struct TCase {
    std::string Bytes;
    std::int64_t Utf16, Characters;  // Utf16 -1: not UTF-8
  } const cases[] = {
      {"", 0, 0},
      {"026544552672", 12, 12},
      {"Руководитель", 12, 12},
      {"€ and 😀", 8, 7},                  // a character past U+FFFF takes two UTF-16 units
      {"\x80", -1, 0},                     // a continuation byte alone
      {"\xD0", -1, 1},                     // a sequence cut short at the end
      {"\xD0" "A", -1, 2},                 // ... or by an ASCII byte
      {"\xC0\xAF", -1, 1},                 // an overlong form
      {"\xE0\x80\xAF", -1, 1},             // an overlong form of three bytes
      {"\xED\xA0\x80", -1, 1},             // a surrogate
      {"\xF4\x90\x80\x80", -1, 1},         // past U+10FFFF
      {"\xFF", -1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Bytes);
    EXPECT_EQ(Utf16Length(c.Bytes), c.Utf16);
    if (c.Utf16 >= 0) {
      EXPECT_EQ(CharacterCount(c.Bytes), c.Characters);
    }
  }
}

std::vector<std::string_view> Views(const std::vector<std::string>& row) {
  return std::vector<std::string_view>(row.begin(), row.end());
}

TEST(SheetPlan, RefusesWhatNoCellHoldsNamingLineAndColumn) {
  struct TCase {
    int Column;
    std::string Value;
    const char* Reason;
  } const cases[] = {
      {11, std::string(kMaxCellLength + 1, 'a'), "32767"},
      {11, std::string(kMaxCellLength / 2, 'a') + "😀" + std::string(kMaxCellLength / 2, 'a'), "32767"},
      {8, "02654\xFF", "UTF-8"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> row(kColumnCount);
    row[static_cast<std::size_t>(c.Column)] = c.Value;
    TSheetPlan plan;
    try {
      plan.AddRow(Views(row), 7, "data1.csv");
      ADD_FAILURE() << "accepted a value of " << c.Value.size() << " bytes";
    } catch (const EXlsxExport& e) {
      const std::string m = e.what();
      EXPECT_NE(m.find("Строка 7 файла data1.csv"), std::string::npos) << m;
      EXPECT_NE(m.find(text::TResultFile::HeaderTitles()[c.Column].toStdString()), std::string::npos) << m;
      EXPECT_NE(m.find(c.Reason), std::string::npos) << m;
      EXPECT_EQ(m.find('\n'), std::string::npos) << m;
    }
  }
  // The largest value a cell holds still fits.
  std::vector<std::string> row(kColumnCount);
  row[11] = std::string(kMaxCellLength, 'a');
  TSheetPlan plan;
  EXPECT_NO_THROW(plan.AddRow(Views(row), 2, "data1.csv"));
}

TEST(SheetPlan, RefusesARowPastTheLastRowOfASheet) {
  const std::vector<std::string> row(kColumnCount);
  const auto fields = Views(row);
  TSheetPlan plan;
  for (std::int64_t i = 0; i < kMaxDataRows; ++i) plan.AddRow(fields, i + 2, "data1.csv");
  EXPECT_EQ(plan.RowCount(), kMaxDataRows);
  EXPECT_THROW(plan.AddRow(fields, kMaxDataRows + 2, "data1.csv"), EXlsxExport);
  EXPECT_EQ(plan.RowCount(), kMaxDataRows);
}

TEST(SheetPlan, WidthsFollowCharactersNotBytesWithinBounds) {
  std::vector<std::string> row(kColumnCount);
  row[2] = "Товарищество с ограниченной ответственностью";  // 44 characters, 83 bytes
  row[13] = "1";                                              // narrower than its title "КАТО"
  row[30] = std::string(500, 'x');
  TSheetPlan plan;
  plan.AddRow(Views(row), 2, "data1.csv");
  EXPECT_EQ(plan.ColumnWidth(2), 44 + 2);
  EXPECT_EQ(plan.ColumnWidth(13), kMinColumnWidth);  // "КАТО" is 4 characters
  EXPECT_EQ(plan.ColumnWidth(30), kMaxColumnWidth);
  // Column 19's title alone is longer than the bound.
  EXPECT_EQ(plan.ColumnWidth(18), kMaxColumnWidth);
}

}  // namespace
