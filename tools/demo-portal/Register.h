#pragma once
// The demo portal's synthetic supplier register.
//
// Everything is derived from the seed and the register's shape: the same options give the same
// pages byte for byte, so tests can compute the exact result of a harvest. Cards are numbered
// year by year, page by page; each year's list shows the cards registered that year (active and
// inactive alike), and the inactive lists of types 8, 9 and 10 show a fixed subset of them.
//
// A revision above 0 is a later state of the same register, reached by applying the changes of
// revisions 1, 2, ... in turn: each adds cards to every year, removes some, changes a value on
// some (a phone, the director, an address), moves some suppliers into or out of the inactive
// lists, and links one new card twice. Cards nobody touched keep their pages byte for byte.
#include <array>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <unordered_map>
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
  int Revision = 0;         // the register's state: 0 as first published, then later ones
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
  int Revised = 0;   // the revision whose value change its page shows (0: none)
  int Change = 0;    // what that revision changed: 1 a phone, 2 the director, 3 an address
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
  bool GoneRoll(std::int64_t id) const;

  // The later state of one year (revisions above 0): its cards in list order, the inactive
  // lists in their order, and the year list's order with the second links at its end.
  struct TYearState {
    std::vector<TCardInfo> Cards;
    std::array<std::vector<std::int64_t>, 3> Inactive;
    std::vector<std::int64_t> Listed;
    int Pages = 1;
  };
  void ApplyRevisions();
  const TYearState* YearState(int year) const;
  std::int64_t AddedId(int revision, int yearIndex, int j) const;

  TRegisterOptions FOptions;
  std::vector<TYearState> FYears;                      // empty at revision 0
  std::unordered_map<std::int64_t, TCardInfo> FById;   // the same cards, by identifier
};

// splitmix64 finaliser: the register's only source of variety.
std::uint64_t Mix(std::uint64_t x);

}  // namespace demo
