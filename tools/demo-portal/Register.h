#pragma once
// The demo portal's synthetic supplier register.
//
// Everything is derived from the seed and the register's shape: the same options give the same
// pages byte for byte, so tests can compute the exact result of a harvest. Cards are numbered
// year by year, page by page; each year's list shows the cards registered that year (active and
// inactive alike), and the inactive lists of types 8, 9 and 10 show a fixed subset of them.
#include <array>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace demo {

struct TRegisterOptions {
  std::string Origin = "https://localhost:8443";  // scheme and host written into card links
  int FirstYear = 2016;
  int LastYear = 2016;
  int PagesPerYear = 2;
  int CardsPerPage = 20;
  int InactivePerType = 3;  // cards per year and inactive type (8, 9, 10)
  int DuplicateLinks = 1;   // cards of a year's first page linked a second time on its last page
  double Gone = 0.0;        // share of cards whose page answers 404 for good
  std::uint64_t Seed = 1;
};

// Number of values read out of a card page, in result-file column order.
inline constexpr int kCardValueCount = 31;

// One card as the register knows it.
struct TCardInfo {
  std::int64_t Id = 0;
  int Year = 0;
  int Page = 0;      // page of its year list
  int Position = 0;  // 0-based position on that page
  int Type = 0;      // 0: active, else the inactive list (8, 9 or 10) that shows it
  int Links = 1;     // how often the year lists link it
  bool Gone = false; // its page answers 404
};

// A card page and the plain values a reader of its markup must get.
struct TCardPage {
  std::string Html;
  std::array<std::string, kCardValueCount> Expected;
};

class TRegister {
 public:
  explicit TRegister(TRegisterOptions options);

  const TRegisterOptions& Options() const { return FOptions; }

  // Listing of a year (type 0) or of an inactive type of a year (8, 9, 10).
  int PageCount(int type, int year) const;
  std::vector<std::int64_t> ListIds(int type, int year, int page) const;
  // The list page; an unknown year, type or page gives a page without cards.
  std::string ListPage(int type, int year, int page) const;

  // The card with this identifier, if the register has one (gone cards included).
  std::optional<TCardInfo> Card(std::int64_t id) const;
  TCardPage CardPage(const TCardInfo& card) const;
  std::string CardUrl(std::int64_t id) const;

  // Every card, in list order of the year lists.
  std::vector<TCardInfo> AllCards() const;

  // Writes one tab-separated line per card: identifier, activity, type, status, links, year,
  // page, position, address and the expected values; a first line starting with "#" names
  // the columns.
  void DumpExpected(std::ostream& out) const;

 private:
  int YearIndex(int year) const;  // -1 outside the register's years
  int CardsPerYear() const { return FOptions.PagesPerYear * FOptions.CardsPerPage; }
  int InactiveCount() const;      // cards per year and inactive type
  int InactiveStride() const;
  std::int64_t IdOf(std::int64_t index) const;
  TCardInfo InfoOf(std::int64_t index) const;
  int DuplicateCount() const;

  TRegisterOptions FOptions;
};

// splitmix64 finaliser: the register's only source of variety.
std::uint64_t Mix(std::uint64_t x);

}  // namespace demo
