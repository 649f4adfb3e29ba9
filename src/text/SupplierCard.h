#pragma once
// The record of one supplier card and the parser that reads it out of the card's page text.
#include <array>
#include <cstddef>
#include <iterator>

#include <QString>
#include <QStringView>

namespace text {

// The 31 values of one card, in the order of their columns in the result file (columns 3 to 33;
// columns 1 and 2, the card's address and its activity, are not part of the record). The
// members, their order, their header titles and their page markers are one list:
// SupplierCard.def.
struct SupplierCard {
#define SH_CARD_COLUMN(member, title, source, marker) QString member;
#include "text/SupplierCard.def"
#undef SH_CARD_COLUMN

  static constexpr std::size_t kFieldCount = 31;
  // The fields in column order, for whoever walks them all (the result file, tests).
  std::array<const QString*, kFieldCount> Fields() const;
  std::array<QString*, kFieldCount> Fields();
};

// Where on the card page a value is read.
enum TCardSource : unsigned char {
  csHeading,      // the page's heading, opened by the marker
  csPage,         // the cell after the first occurrence of the label anywhere in the page
  csHeadBlock,    // the same, searched inside the head block only
  csAddressCell,  // the next cell of the first address row; no marker
};

// One column of the record: the field, its title in the result file's header, and how the
// parser finds it.
struct TCardColumn {
  QString SupplierCard::*field = nullptr;
  QStringView title;
  TCardSource source = csPage;
  QStringView marker;
};

inline constexpr TCardColumn kCardColumns[] = {
#define SH_CARD_COLUMN(member, title, source, marker) {&SupplierCard::member, title, source, marker},
#include "text/SupplierCard.def"
#undef SH_CARD_COLUMN
};
static_assert(std::size(kCardColumns) == SupplierCard::kFieldCount, "one table row per card value");
static_assert(sizeof(SupplierCard) == SupplierCard::kFieldCount * sizeof(QString),
              "every member of SupplierCard comes from the column table");

// Reads the card's values by their fixed markers. Never fails: whatever is missing from the
// page gives an empty value. Every value is cleaned of markup, trimmed and has its double
// quotes turned into apostrophes.
SupplierCard ParseSupplierCard(const QString& page);

}  // namespace text
