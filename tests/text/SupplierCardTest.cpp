// The card parser on a realistic card page, field by field, and on small pages for its edges.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include <QFile>

#include "text/SupplierCard.h"
#include "text/uLib.h"

using namespace text;

namespace {

QString LoadPage(const char* name) {
  QFile f(QStringLiteral(SH_TEXT_TEST_DATA "/") + QString::fromLatin1(name));
  if (!f.open(QIODevice::ReadOnly)) return QString();
  return DecodeUtf8Text(f.readAll());
}

// A minimal page with the contact table; rows are the <tr> lines below the header row.
QString ContactPage(const QString& rows) {
  return QStringLiteral("<div><h4>Контактная информация</h4></div><table>"
                        "<tr><th>Страна</th><th>КАТО</th></tr>") +
         rows + QStringLiteral("</table></div>");
}

}  // namespace

TEST(ParseSupplierCard, RealisticPageFieldByField) {
  const QString page = LoadPage("card.html");
  ASSERT_FALSE(page.isEmpty());
  const SupplierCard card = ParseSupplierCard(page);

  const std::pair<const QString*, const char*> expected[] = {
      {&card.title, "ТОО 'Ромашка'"},
      {&card.registrationDate, "12.03.2015"},
      {&card.lastUpdateDate, "01.02.2024 10:15:00"},
      {&card.participantRoles, "Поставщик; Заказчик"},
      {&card.inCustomerRegister, "Нет"},
      {&card.participantIin, ""},  // only &nbsp;
      {&card.participantBin, "150340012345"},
      {&card.participantRnn, "600400123456"},
      {&card.nameKazakh, "'Ромашка' жауапкершілігі шектеулі серіктестігі"},
      {&card.nameRussian, "Товарищество с ограниченной ответственностью 'Ромашка'"},
      {&card.residency, "Резидент РК"},
      {&card.kato, "751110000"},
      {&card.region, "г.Алматы - Алмалинский район"},
      {&card.website, "romashka.kz"},            // the link's text
      {&card.email, "+7 (727) 123-45-67"},       // <td class=...> is no "<td>": the next cell counts
      {&card.phone, "+7 (727) 123-45-67"},
      {&card.certificateSeriesAndNumber, "Серия 123 'А' № 4567"},
      {&card.certificateDate, "10.03.2015"},
      {&card.reportingAdministrators, "Иванова А. Б."},  // cut at the first "</"
      {&card.kopf, "Товарищество с ограниченной ответственностью (1122)"},
      {&card.ownershipFormCode, "16"},
      {&card.enterpriseSize, "Малое &amp; среднее"},
      {&card.economicSectorCode, ""},            // label missing from the page
      {&card.headIin, "800101300123"},
      {&card.headRnn, "600410987654"},
      {&card.headFullName, "Иванов Иван Иванович"},
      {&card.addressCountry, "Казахстан"},       // the first of two addresses
      {&card.addressKato, "751110000"},
      {&card.addressFullRussian, "г.Алматы, ул. Абая, д. 10; офис 5"},
      {&card.addressFullKazakh, "Алматы қ., Абай к-сі, 10 үй"},
      {&card.addressType, "Юридический адрес"},
  };
  ASSERT_EQ(std::size(expected), SupplierCard::kFieldCount);
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    EXPECT_EQ(card.Fields()[i], expected[i].first) << "column " << i + 3;
    EXPECT_EQ(*expected[i].first, QString::fromUtf8(expected[i].second)) << "column " << i + 3;
  }
}

TEST(ParseSupplierCard, PageWithoutAnyLabelGivesEmptyValues) {
  const SupplierCard card = ParseSupplierCard(QStringLiteral("<html><h1> Только &laquo;заголовок&raquo; </h1></html>"));
  EXPECT_EQ(card.title, QStringLiteral("Только 'заголовок'"));
  for (std::size_t i = 1; i < SupplierCard::kFieldCount; ++i) EXPECT_TRUE(card.Fields()[i]->isEmpty()) << i;
  const SupplierCard none = ParseSupplierCard(QString());
  for (const QString* v : none.Fields()) EXPECT_TRUE(v->isEmpty());
}

TEST(ParseSupplierCard, HeadLabelsAreSearchedInTheHeadBlockOnly) {
  // "ИИН</th>" before the head block belongs to someone else and must not be taken.
  const QString page = QStringLiteral(
      "<table><tr><th>ИИН</th><td>чужой</td></tr></table>"
      "<div><h4>Руководитель</h4></div><div><table>"
      "<tr><th>ИИН</th><td>111</td></tr><tr><th>ФИО</th><td>Петров</td></tr></table></div>"
      "<table><tr><th>РНН</th><td>после блока</td></tr></table>");
  const SupplierCard card = ParseSupplierCard(page);
  EXPECT_EQ(card.headIin, QStringLiteral("111"));
  EXPECT_EQ(card.headFullName, QStringLiteral("Петров"));
  EXPECT_EQ(card.headRnn, QString());

  const SupplierCard noHead = ParseSupplierCard(QStringLiteral("<tr><th>ИИН</th><td>111</td></tr>"));
  EXPECT_EQ(noHead.headIin, QString());
}

TEST(ParseSupplierCard, AddressRowCells) {
  const struct {
    QString rows;
    std::array<const char*, 5> cells;
  } cases[] = {
      {QStringLiteral("<tr><td>A</td><td>B</td><td>C</td><td>D</td><td>E</td><td>F</td></tr>"
                      "<tr><td>2</td></tr>"),
       {"A", "B", "C", "D", "E"}},  // a sixth cell and the second row are ignored
      {QStringLiteral("<tr><td>A</td><td>B</td></tr>"), {"A", "B", "", "", ""}},
      {QStringLiteral("<tr><td>A</td><td>B<td>C</tr>"), {"A", "", "", "", ""}},  // no "</td>" left
      {QStringLiteral("<tr><td> <b>A</b> </td><td>&nbsp;</td><td>x\r\ny</td><td>\"q\"</td><td>5</td></tr>"),
       {"A", "", "xy", "'q'", "5"}},
      {QString(), {"", "", "", "", ""}},
  };
  for (const auto& c : cases) {
    const SupplierCard card = ParseSupplierCard(ContactPage(c.rows));
    const QString* got[] = {&card.addressCountry, &card.addressKato, &card.addressFullRussian,
                            &card.addressFullKazakh, &card.addressType};
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(*got[i], QString::fromUtf8(c.cells[i])) << c.rows.toStdString() << " cell " << i + 1;
    }
  }
  const SupplierCard noContacts =
      ParseSupplierCard(QStringLiteral("<table><tr><th>x</th></tr><tr><td>A</td></tr></table>"));
  EXPECT_EQ(noContacts.addressCountry, QString());
}

TEST(ParseSupplierCard, LabelCountsAtItsFirstOccurrenceOnly) {
  const QString page = QStringLiteral(
      "<tr><th>Регион</th><td></td></tr><tr><th>Регион</th><td>Алматы</td></tr>");
  EXPECT_EQ(ParseSupplierCard(page).region, QString());
}

TEST(ParseSupplierCard, ValuesKeepTheRecordInvariants) {
  // Whatever a cell holds, a value is trimmed and has no CR, LF, double quote or "<".
  const QString page = QStringLiteral(
      "<h1>\r\n  \"A\" &lt; b</h1>"
      "<tr><th>КОПФ</th><td>\t&quot;x&quot;\n&lt;y&gt;<i>z</td></tr>");
  const SupplierCard card = ParseSupplierCard(page);
  EXPECT_EQ(card.title, QStringLiteral("'A'"));
  EXPECT_EQ(card.kopf, QStringLiteral("'x'z"));
  for (const QString* v : card.Fields()) {
    EXPECT_EQ(*v, Trim(*v));
    for (QChar c : {QChar(u'\r'), QChar(u'\n'), QChar(u'"'), QChar(u'<')}) EXPECT_FALSE(v->contains(c));
  }
}

TEST(ParseSupplierCard, LabelledValuesMatchThePlainMarkerSearchOnRandomPages) {
  // The parser finds its labels in one walk over the page; on any page it must give what a
  // search of the whole page for each label gives.
  const std::pair<const char*, QString SupplierCard::*> labels[] = {
      {"Дата регистрации</th>", &SupplierCard::registrationDate},
      {"Дата свидетельства о государственной регистрации</th>", &SupplierCard::certificateDate},
      {"ИИН участника</th>", &SupplierCard::participantIin},
      {"КАТО</th>", &SupplierCard::kato},
      {"Вебсайт:</th>", &SupplierCard::website},
      {"E-Mail:</th>", &SupplierCard::email},
      {"Код сектора экономики</th>", &SupplierCard::economicSectorCode},
  };
  std::vector<QString> pieces = {QStringLiteral("</th>"), QStringLiteral("<td>"), QStringLiteral("</td>"),
                                 QStringLiteral("</"),    QStringLiteral("<th>"), QStringLiteral("КАТО"),
                                 QStringLiteral("x"),     QStringLiteral(" "),    QStringLiteral("регистрации</th>"),
                                 QStringLiteral("Дата "), QStringLiteral("&quot;"), QStringLiteral("\n")};
  for (const auto& l : labels) pieces.push_back(QString::fromUtf8(l.first));
  std::mt19937 rng(2024);
  std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
  std::uniform_int_distribution<int> len(0, 40);
  for (int i = 0; i < 3000; ++i) {
    QString page;
    for (int n = len(rng); n > 0; --n) page += pieces[pick(rng)];
    const SupplierCard card = ParseSupplierCard(page);
    for (const auto& [label, field] : labels) {
      const QString expected = ReplaceDoubleQuotes(Trim(CleanHtmlText(
          ExtractBetween(page, QString::fromUtf8(label), QStringLiteral("<td>"), QStringLiteral("</")))));
      ASSERT_EQ(card.*field, expected) << label << " in " << page.toStdString();
    }
  }
}
