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
  return {&title,
          &registrationDate,
          &lastUpdateDate,
          &participantRoles,
          &inCustomerRegister,
          &participantIin,
          &participantBin,
          &participantRnn,
          &nameKazakh,
          &nameRussian,
          &residency,
          &kato,
          &region,
          &website,
          &email,
          &phone,
          &certificateSeriesAndNumber,
          &certificateDate,
          &reportingAdministrators,
          &kopf,
          &ownershipFormCode,
          &enterpriseSize,
          &economicSectorCode,
          &headIin,
          &headRnn,
          &headFullName,
          &addressCountry,
          &addressKato,
          &addressFullRussian,
          &addressFullKazakh,
          &addressType};
}

std::array<QString*, SupplierCard::kFieldCount> SupplierCard::Fields() {
  const auto fields = static_cast<const SupplierCard*>(this)->Fields();
  std::array<QString*, kFieldCount> result{};
  for (std::size_t i = 0; i < kFieldCount; ++i) result[i] = const_cast<QString*>(fields[i]);
  return result;
}

namespace {

// The labelled values of the page, in column order. Every label ends in "</th>".
struct TPageLabel {
  QStringView label;
  QString SupplierCard::*field;
};
constexpr TPageLabel kPageLabels[] = {
    {u"Дата регистрации</th>", &SupplierCard::registrationDate},
    {u"Дата последнего обновления</th>", &SupplierCard::lastUpdateDate},
    {u"Роли участника</th>", &SupplierCard::participantRoles},
    {u"Состоит в реестре государственных заказчиков</th>", &SupplierCard::inCustomerRegister},
    {u"ИИН участника</th>", &SupplierCard::participantIin},
    {u"БИН участника</th>", &SupplierCard::participantBin},
    {u"РНН участника</th>", &SupplierCard::participantRnn},
    {u"Наименование на каз. языке</th>", &SupplierCard::nameKazakh},
    {u"Наименование на рус. языке</th>", &SupplierCard::nameRussian},
    {u"Резиденство</th>", &SupplierCard::residency},
    {u"КАТО</th>", &SupplierCard::kato},
    {u"Регион</th>", &SupplierCard::region},
    {u"Вебсайт:</th>", &SupplierCard::website},
    {u"E-Mail:</th>", &SupplierCard::email},
    {u"Контактный телефон:</th>", &SupplierCard::phone},
    {u"Серия свидетельства (для ИП) и номер свидетельства о государственной регистрации</th>",
     &SupplierCard::certificateSeriesAndNumber},
    {u"Дата свидетельства о государственной регистрации</th>", &SupplierCard::certificateDate},
    {u"Наименование администратора(ов) отчетности</th>", &SupplierCard::reportingAdministrators},
    {u"КОПФ</th>", &SupplierCard::kopf},
    {u"Код формы собственности</th>", &SupplierCard::ownershipFormCode},
    {u"Размерность предприятия</th>", &SupplierCard::enterpriseSize},
    {u"Код сектора экономики</th>", &SupplierCard::economicSectorCode},
};
constexpr int kPageLabelCount = static_cast<int>(std::size(kPageLabels));

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
      const QStringView label = kPageLabels[i].label;
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
  card.title = CleanValue(ExtractBetween(page, QStringLiteral("<h1>"), QString(), QStringLiteral("</")));

  const auto positions = FindPageLabels(page);
  for (int i = 0; i < kPageLabelCount; ++i) {
    card.*kPageLabels[i].field = ValueAt(page, positions[i], kPageLabels[i].label.size());
  }

  const QString head =
      ExtractBetween(page, QStringLiteral("Руководитель</h4></div>"), QString(), QStringLiteral("</div>"));
  card.headIin = Labelled(head, QStringLiteral("ИИН</th>"));
  card.headRnn = Labelled(head, QStringLiteral("РНН</th>"));
  card.headFullName = Labelled(head, QStringLiteral("ФИО</th>"));

  // The first data row of the contact table: the first <tr> after the header row's </tr>.
  const QString contacts = ExtractBetween(page, QStringLiteral("Контактная информация</h4></div>"),
                                          QString(), QStringLiteral("</div>"));
  QString row = ExtractBetween(contacts, QStringLiteral("</tr>"), QStringLiteral("<tr>"),
                               QStringLiteral("</tr>"));
  const QString cellStart = QStringLiteral("<td>");
  const QString cellEnd = QStringLiteral("</td>");
  QString* cells[] = {&card.addressCountry, &card.addressKato, &card.addressFullRussian,
                      &card.addressFullKazakh, &card.addressType};
  for (QString* cell : cells) {
    *cell = CleanValue(ExtractBetween(row, cellStart, QString(), cellEnd));
    // Consume the row up to and including the "<" of its first "</td>".
    row = Delete(row, 1, Pos(cellEnd, row));
  }
  return card;
}

}  // namespace text
