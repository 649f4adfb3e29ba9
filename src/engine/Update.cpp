#include "engine/Update.h"

#include <QFileInfo>
#include <algorithm>
#include <stdexcept>
#include <string_view>

#include "text/ResultFile.h"
#include "text/ResultFileReader.h"
#include "text/uLib.h"

namespace engine {

namespace {

constexpr qsizetype kBatchBytes = 256 * 1024;  // lines handed over at once

std::uint64_t KeyHash(std::string_view key) { return std::hash<std::string_view>{}(key); }

// FNV-1a: unrelated to the first hash, so that two keys agreeing in both are not a worry.
std::uint32_t CheckHash(std::string_view key) {
  std::uint32_t h = 2166136261u;
  for (const char c : key) {
    h ^= static_cast<unsigned char>(c);
    h *= 16777619u;
  }
  return h;
}

// The address as the row's first field holds it (FieldText), as UTF-8; most addresses have
// nothing FieldText changes.
QByteArray FieldBytes(const QString& address) {
  for (const QChar c : address) {
    if (c == u'"' || c == u'\r' || c == u'\n') return text::FieldText(address).toUtf8();
  }
  return address.toUtf8();
}

}  // namespace

QString CheckUpdateFile(const QString& path) {
  try {
    text::TResultFileReader reader(path);
    std::vector<std::string_view> fields;
    while (reader.Next(fields)) {
    }
  } catch (const std::exception& e) {
    return QString::fromUtf8(e.what());
  }
  return QString();
}

TUpdateSource::TUpdateSource(QString path) : path_(std::move(path)) {
  text::TResultFileReader reader(path_);
  // Room for as many rows as the file could hold (a row is more than 100 bytes): memory only
  // becomes resident as entries are written, and the index never moves while it grows.
  index_.reserve(static_cast<std::size_t>(QFileInfo(path_).size() / 100 + 16));
  std::vector<std::string_view> fields;
  while (reader.Next(fields)) {
    const std::string_view key = text::AddressKey(fields[0]);
    index_.push_back({KeyHash(key), CheckHash(key), static_cast<std::uint32_t>(reader.RowCount()), reader.RowOffset()});
  }
  // The last row of a card counts.
  std::sort(index_.begin(), index_.end(), [](const TEntry& a, const TEntry& b) {
    return a.Key != b.Key ? a.Key < b.Key : a.Check != b.Check ? a.Check < b.Check : a.Row > b.Row;
  });
  index_.erase(std::unique(index_.begin(), index_.end(),
                           [](const TEntry& a, const TEntry& b) { return a.Key == b.Key && a.Check == b.Check; }),
               index_.end());
}

std::int64_t TUpdateSource::Select(const TRunOptions& options, const TInactiveSet& inactive, TAddressQueue& pending) {
  options_ = options;
  TAddressQueue fetched;
  taken_.reserve(taken_.size() + pending.size());
  for (QString& selected : pending) {
    const QString address = text::Trim(selected);
    const QByteArray field = FieldBytes(address);
    const std::string_view key = text::AddressKey(std::string_view(field.constData(), static_cast<std::size_t>(field.size())));
    const TEntry probe{KeyHash(key), CheckHash(key), 0, 0};
    const auto it = std::lower_bound(index_.begin(), index_.end(), probe, [](const TEntry& a, const TEntry& b) {
      return a.Key != b.Key ? a.Key < b.Key : a.Check < b.Check;
    });
    if (key.empty() || it == index_.end() || it->Key != probe.Key || it->Check != probe.Check) {
      fetched.push_back(std::move(selected));
      continue;
    }
    // The activity comes from the current lists; in the all-in-one-pass mode there is none.
    if (!PassesCardFilter(options, inactive, address)) continue;
    const bool inInactiveSet = !options.AllInARow && inactive.Contains(address);
    taken_.push_back({it->Offset, it->Row, static_cast<std::uint32_t>(taken_.size()), inInactiveSet, address});
  }
  pending = std::move(fetched);
  // One pass over the file in its order; a card selected twice keeps its order.
  std::sort(taken_.begin(), taken_.end(),
            [](const TTaken& a, const TTaken& b) { return a.Offset != b.Offset ? a.Offset < b.Offset : a.Order < b.Order; });
  return Taken();
}

void TUpdateSource::WriteRows(const std::function<void(const QByteArray& lines)>& write) {
  if (taken_.empty()) return;
  text::TResultFileReader reader(path_);
  std::vector<std::string_view> fields;
  QByteArray lines;
  lines.reserve(kBatchBytes + 64 * 1024);
  const QByteArray activity[2] = {text::ActivityValue(options_.AllInARow, options_.Active, false).toUtf8(),
                                  text::ActivityValue(options_.AllInARow, options_.Active, true).toUtf8()};
  std::size_t next = 0;
  reader.SeekRow(taken_.front().Offset, taken_.front().Row);
  const auto changed = [this] {
    return std::runtime_error(("Файл " + path_ + " изменился во время выгрузки").toStdString());
  };
  while (next < taken_.size()) {
    const TTaken& wanted = taken_[next];
    if (!reader.Next(fields)) throw changed();
    if (reader.RowOffset() < wanted.Offset) continue;
    if (reader.RowOffset() > wanted.Offset) throw changed();
    // The card values stand in the line as they are: from the opening quote of the third field
    // to the closing quote of the last.
    const char* from = fields[2].data() - 1;
    const char* to = fields.back().data() + fields.back().size() + 1;
    const QByteArray address = FieldBytes(wanted.Address);
    if (text::AddressKey(fields[0]) !=
        text::AddressKey(std::string_view(address.constData(), static_cast<std::size_t>(address.size())))) {
      throw changed();
    }
    // Every selection of the card at this row gets it.
    for (bool first = true; next < taken_.size() && taken_[next].Offset == wanted.Offset; ++next, first = false) {
      lines += '"';
      lines += first ? address : FieldBytes(taken_[next].Address);
      lines += "\";\"";
      lines += activity[taken_[next].Inactive ? 1 : 0];
      lines += "\";";
      lines.append(from, static_cast<qsizetype>(to - from));
      lines += "\r\n";
    }
    if (lines.size() >= kBatchBytes) {
      write(lines);
      lines.clear();
    }
  }
  if (!lines.isEmpty()) write(lines);
  taken_.clear();
  taken_.shrink_to_fit();
}

QString TUpdateSource::LogText(std::size_t fetched) const {
  return QStringLiteral("Из файла ") + path_ + QStringLiteral(" взято строк: ") + QString::number(Taken()) +
         QStringLiteral(", загружаем карточек: ") + QString::number(fetched);
}

}  // namespace engine
