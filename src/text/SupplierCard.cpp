#include "text/SupplierCard.h"

#include <iterator>

#include "text/uLib.h"

namespace text {

namespace {

// Raw value -> field value: markup out, trimmed, double quotes made apostrophes.
QString CleanValue(const QString& raw) {
  return ReplaceDoubleQuotes(Trim(CleanHtmlText(raw)));
}

QString Labelled(const QString& source, const QString& label) {
  return CleanValue(ExtractBetween(source, label, QStringLiteral("<td>"), QStringLiteral("</")));
}

}  // namespace

std::array<const QString*, SupplierCard::kFieldCount> SupplierCard::Fields() const {
  std::array<const QString*, kFieldCount> fields{};
  for (std::size_t i = 0; i < kFieldCount; ++i) fields[i] = &(this->*kCardColumns[i].field);
  return fields;
}

std::array<QString*, SupplierCard::kFieldCount> SupplierCard::Fields() {
  std::array<QString*, kFieldCount> fields{};
  for (std::size_t i = 0; i < kFieldCount; ++i) fields[i] = &(this->*kCardColumns[i].field);
  return fields;
}

namespace {

constexpr std::size_t CountFrom(TCardSource source) {
  std::size_t n = 0;
  for (const TCardColumn& column : kCardColumns) n += column.source == source ? 1 : 0;
  return n;
}

// The columns read from one source, in column order.
template <TCardSource kSource>
constexpr std::array<TCardColumn, CountFrom(kSource)> ColumnsFrom() {
  std::array<TCardColumn, CountFrom(kSource)> picked{};
  std::size_t n = 0;
  for (const TCardColumn& column : kCardColumns) {
    if (column.source == kSource) picked[n++] = column;
  }
  return picked;
}

constexpr auto kHeadingColumns = ColumnsFrom<csHeading>();
constexpr auto kPageLabels = ColumnsFrom<csPage>();
constexpr auto kHeadLabels = ColumnsFrom<csHeadBlock>();
constexpr auto kAddressCells = ColumnsFrom<csAddressCell>();
constexpr int kPageLabelCount = static_cast<int>(kPageLabels.size());

// Every label ends in "</th>" (the label walk below depends on it), a heading has its opening
// marker, and an address cell has no marker.
constexpr bool MarkersFitTheirSources() {
  constexpr char16_t kCloseTh[] = u"</th>";
  constexpr qsizetype kCloseThLength = std::size(kCloseTh) - 1;
  for (const TCardColumn& column : kCardColumns) {
    const QStringView m = column.marker;
    switch (column.source) {
      case csHeading:
        if (m.isEmpty()) return false;
        break;
      case csPage:
      case csHeadBlock:
        if (m.size() <= kCloseThLength) return false;
        for (qsizetype i = 0; i < kCloseThLength; ++i) {
          if (m[m.size() - kCloseThLength + i] != QChar(kCloseTh[i])) return false;
        }
        break;
      case csAddressCell:
        if (!m.isEmpty()) return false;
        break;
    }
  }
  return true;
}
static_assert(MarkersFitTheirSources(), "a card column's marker does not fit where it is read");

// A marker of the table as a QString, without copying its characters.
QString Marker(QStringView marker) {
  return QString::fromRawData(marker.data(), marker.size());
}

// Where each label first occurs in the page (1-based, 0 when it does not). A label ends in
// "</th>", so its first occurrence ends at one of the page's "</th>": one walk over those
// finds every label instead of one search of the whole page per label.
std::array<int, kPageLabelCount> FindPageLabels(const QString& page) {
  std::array<int, kPageLabelCount> found{};
  int missing = kPageLabelCount;
  const QString closeTh = QStringLiteral("</th>");
  const QStringView view(page);
  for (int at = Pos(closeTh, page); at != 0 && missing > 0;
       at = PosEx(closeTh, page, at + static_cast<int>(closeTh.size()))) {
    const qsizetype end = at - 1 + closeTh.size();  // 0-based, just past the "</th>"
    for (int i = 0; i < kPageLabelCount; ++i) {
      const QStringView label = kPageLabels[i].marker;
      if (found[i] != 0 || label.size() > end) continue;
      if (view.sliced(end - label.size(), label.size()) == label) {
        found[i] = static_cast<int>(end - label.size()) + 1;
        --missing;
      }
    }
  }
  return found;
}

// The value of a label found at position p: what ExtractBetween (page, label, "<td>", "</")
// gives, continued from the label's known position.
QString ValueAt(const QString& page, int p, qsizetype labelLength) {
  if (p == 0) return QString();
  const int cell = PosEx(QStringLiteral("<td>"), page, p + static_cast<int>(labelLength));
  if (cell == 0) return QString();
  const int begin = cell + 4;
  const int end = PosEx(QStringLiteral("</"), page, begin);
  if (end == 0) return QString();
  return CleanValue(Copy(page, begin, end - begin));
}

}  // namespace

SupplierCard ParseSupplierCard(const QString& page) {
  SupplierCard card;
  for (const TCardColumn& column : kHeadingColumns) {
    card.*column.field =
        CleanValue(ExtractBetween(page, Marker(column.marker), QString(), QStringLiteral("</")));
  }

  const auto positions = FindPageLabels(page);
  for (int i = 0; i < kPageLabelCount; ++i) {
    card.*kPageLabels[i].field = ValueAt(page, positions[i], kPageLabels[i].marker.size());
  }

  const QString head =
      ExtractBetween(page, QStringLiteral("Руководитель</h4></div>"), QString(), QStringLiteral("</div>"));
  for (const TCardColumn& column : kHeadLabels) card.*column.field = Labelled(head, Marker(column.marker));

  // The first data row of the contact table: the first <tr> after the header row's </tr>.
  const QString contacts = ExtractBetween(page, QStringLiteral("Контактная информация</h4></div>"),
                                          QString(), QStringLiteral("</div>"));
  QString row = ExtractBetween(contacts, QStringLiteral("</tr>"), QStringLiteral("<tr>"),
                               QStringLiteral("</tr>"));
  const QString cellStart = QStringLiteral("<td>");
  const QString cellEnd = QStringLiteral("</td>");
  for (const TCardColumn& column : kAddressCells) {
    card.*column.field = CleanValue(ExtractBetween(row, cellStart, QString(), cellEnd));
    // Consume the row up to and including the "<" of its first "</td>".
    row = Delete(row, 1, Pos(cellEnd, row));
  }
  return card;
}

}  // namespace text
