#pragma once
// The record of one supplier card and the parser that reads it out of the card's page text.
#include <array>
#include <cstddef>

#include <QString>

namespace text {

// The 31 values of one card, in the order of their columns in the result file (columns 3 to 33;
// columns 1 and 2, the card's address and its activity, are not part of the record).
struct SupplierCard {
  QString title;
  QString registrationDate;
  QString lastUpdateDate;
  QString participantRoles;
  QString inCustomerRegister;
  QString participantIin;
  QString participantBin;
  QString participantRnn;
  QString nameKazakh;
  QString nameRussian;
  QString residency;
  QString kato;
  QString region;
  QString website;
  QString email;
  QString phone;
  QString certificateSeriesAndNumber;
  QString certificateDate;
  QString reportingAdministrators;
  QString kopf;
  QString ownershipFormCode;
  QString enterpriseSize;
  QString economicSectorCode;
  QString headIin;
  QString headRnn;
  QString headFullName;
  QString addressCountry;
  QString addressKato;
  QString addressFullRussian;
  QString addressFullKazakh;
  QString addressType;

  static constexpr std::size_t kFieldCount = 31;
  // The fields in column order, for whoever walks them all (the result file, tests).
  std::array<const QString*, kFieldCount> Fields() const;
  std::array<QString*, kFieldCount> Fields();
};

// Reads the card's values by their fixed markers. Never fails: whatever is missing from the
// page gives an empty value. Every value is cleaned of markup, trimmed and has its double
// quotes turned into apostrophes.
SupplierCard ParseSupplierCard(const QString& page);

}  // namespace text
