#include "text/SupplierCard.h"

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

SupplierCard ParseSupplierCard(const QString& page) {
  SupplierCard card;
  card.title = CleanValue(ExtractBetween(page, QStringLiteral("<h1>"), QString(), QStringLiteral("</")));

  card.registrationDate = Labelled(page, QStringLiteral("Дата регистрации</th>"));
  card.lastUpdateDate = Labelled(page, QStringLiteral("Дата последнего обновления</th>"));
  card.participantRoles = Labelled(page, QStringLiteral("Роли участника</th>"));
  card.inCustomerRegister =
      Labelled(page, QStringLiteral("Состоит в реестре государственных заказчиков</th>"));
  card.participantIin = Labelled(page, QStringLiteral("ИИН участника</th>"));
  card.participantBin = Labelled(page, QStringLiteral("БИН участника</th>"));
  card.participantRnn = Labelled(page, QStringLiteral("РНН участника</th>"));
  card.nameKazakh = Labelled(page, QStringLiteral("Наименование на каз. языке</th>"));
  card.nameRussian = Labelled(page, QStringLiteral("Наименование на рус. языке</th>"));
  card.residency = Labelled(page, QStringLiteral("Резиденство</th>"));
  card.kato = Labelled(page, QStringLiteral("КАТО</th>"));
  card.region = Labelled(page, QStringLiteral("Регион</th>"));
  card.website = Labelled(page, QStringLiteral("Вебсайт:</th>"));
  card.email = Labelled(page, QStringLiteral("E-Mail:</th>"));
  card.phone = Labelled(page, QStringLiteral("Контактный телефон:</th>"));
  card.certificateSeriesAndNumber = Labelled(
      page, QStringLiteral("Серия свидетельства (для ИП) и номер свидетельства о "
                           "государственной регистрации</th>"));
  card.certificateDate =
      Labelled(page, QStringLiteral("Дата свидетельства о государственной регистрации</th>"));
  card.reportingAdministrators =
      Labelled(page, QStringLiteral("Наименование администратора(ов) отчетности</th>"));
  card.kopf = Labelled(page, QStringLiteral("КОПФ</th>"));
  card.ownershipFormCode = Labelled(page, QStringLiteral("Код формы собственности</th>"));
  card.enterpriseSize = Labelled(page, QStringLiteral("Размерность предприятия</th>"));
  card.economicSectorCode = Labelled(page, QStringLiteral("Код сектора экономики</th>"));

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
