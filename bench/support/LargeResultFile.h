#pragma once
// Large result files for benchmarks, and the process's peak memory.
#include <cstdio>
#include <fstream>
#include <string>

#include "text/ResultFile.h"

namespace benchsupport {

// Rows shaped like the portal's cards: Cyrillic and Kazakh names and addresses, identifiers,
// codes, both date layouts, about 1,100 bytes each. Revision 1 is a later harvest of the same
// register: of every hundred cards one is gone, one has a new phone and one new card follows.
inline void WriteLargeResultFile(const std::string& path, int rows, int revision = 0) {
  std::ofstream out(path, std::ios::binary);
  auto field = [&](const std::string& v, bool first = false) { out << (first ? "\"" : ";\"") << v << '"'; };
  out << "\xEF\xBB\xBF";
  for (int c = 0; c < text::TResultFile::kColumnCount; ++c) {
    field(text::TResultFile::HeaderTitles()[c].toStdString(), c == 0);
  }
  out << "\r\n";
  char buf[64];
  const auto row = [&](int i, const std::string& phone) {
    const std::string n = std::to_string(i);
    std::snprintf(buf, sizeof buf, "%012d", i * 37);
    const std::string id = buf;
    field("https://localhost:8443/ru/registry/show_supplier/" + std::to_string(100000 + i), true);
    field(i % 3 ? "Активный" : "Неактивный");
    field("ТОО 'Поставщик товаров и услуг номер " + n + "'");
    field("20" + std::to_string(10 + i % 14) + "-0" + std::to_string(1 + i % 9) + "-1" + std::to_string(i % 10) + " 10:15:00");
    field("1" + std::to_string(i % 10) + ".0" + std::to_string(1 + i % 9) + ".2024 09:30:00");
    field("Поставщик; Заказчик");
    field(i % 2 ? "Да" : "Нет");
    field(i % 2 ? id : "");
    field(id);
    field("0604" + id.substr(4));
    field("'Жеткізуші " + n + "' жауапкершілігі шектеулі серіктестігі");
    field("Товарищество с ограниченной ответственностью 'Поставщик " + n + "'");
    field("Резидент");
    field("75111" + std::to_string(1000 + i % 9000));
    field("г. Алматы");
    field("www.supplier" + n + ".kz");
    field("info@supplier" + n + ".kz");
    field(phone);
    field("0" + std::to_string(i % 1000) + "-1910-02-ТОО");
    field("10.03.2015");
    field("Управление государственных доходов по Бостандыкскому району");
    field("1122" + std::to_string(i % 10));
    field("16");
    field("Малое предприятие");
    field("0" + std::to_string(1 + i % 9));
    field(id);
    field("");
    field("Иванов Иван Иванович");
    field("Казахстан");
    field("751110000");
    field("г. Алматы, Бостандыкский район, проспект Аль-Фараби, д. " + n + ", кв. 12");
    field("Алматы қ., Бостандық ауданы, Әл-Фараби даңғылы, " + n + " үй, 12 пәтер");
    field("Юридический адрес");
    out << "\r\n";
  };
  for (int i = 0; i < rows; ++i) {
    const std::string phone = "+7 (727) " + std::to_string(2000000 + i % 8000000);
    if (revision == 0) {
      row(i, phone);
      continue;
    }
    if (i % 100 == 0) continue;                      // gone
    row(i, i % 100 == 50 ? phone + " (2)" : phone);  // changed
    if (i % 100 == 75) row(rows + i, phone);         // new
  }
}

// The process's peak resident memory (VmHWM) in MiB, and its reset.
inline double PeakRssMiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return 0;
}

inline void ResetPeakRss() { std::ofstream("/proc/self/clear_refs") << "5"; }

}  // namespace benchsupport
