#include "text/uLib.h"

#include <algorithm>
#include <functional>
#include <limits>

#include <QStringDecoder>

namespace text {

namespace {

// Lengths of Qt strings are 64-bit; the callers' positions are int. Pages stay far below 2 GiB.
int ToPos(qsizetype zeroBasedIndex) { return static_cast<int>(zeroBasedIndex) + 1; }

// First occurrence of marker in text at or after from (0-based), -1 if none. Jumps from one
// occurrence of the marker's first character to the next with Qt's vectorised character
// search and compares the rest there. Should a text make that pay badly (many near misses),
// the rest of it is left to a Boyer-Moore search, so the whole stays linear in the text.
qsizetype FindForward(QStringView text, qsizetype from, QStringView marker) {
  const qsizetype m = marker.size();
  if (m == 0 || from < 0 || text.size() - from < m) return -1;
  const qsizetype lastStart = text.size() - m;
  const QChar first = marker.front();
  const QStringView rest = marker.sliced(1);
  qsizetype work = 0;  // characters compared at candidates that were no match
  for (qsizetype at = from; at <= lastStart;) {
    const qsizetype hit = text.indexOf(first, at);
    if (hit < 0 || hit > lastStart) return -1;
    if (text.sliced(hit + 1, m - 1) == rest) return hit;
    at = hit + 1;
    work += m;
    if (work > 2 * (at - from) + 256) {
      const auto* begin = text.utf16();
      const auto* end = begin + text.size();
      const auto* found = std::search(begin + at, end,
                                      std::boyer_moore_searcher(marker.utf16(), marker.utf16() + m));
      return found == end ? -1 : found - begin;
    }
  }
  return -1;
}

bool StartsAt(const QChar* data, qsizetype length, qsizetype at, QStringView what) {
  if (length - at < what.size()) return false;
  return QStringView(data + at, what.size()) == what;
}

}  // namespace

int Pos(const QString& marker, const QString& text) {
  if (marker.isEmpty() || text.isEmpty()) return 0;
  return ToPos(FindForward(text, 0, marker));
}

int PosEx(const QString& marker, const QString& text, int start) {
  if (marker.isEmpty() || text.isEmpty() || start < 1) return 0;
  const qsizetype from = static_cast<qsizetype>(start) - 1;
  if (text.size() - from < marker.size()) return 0;
  return ToPos(FindForward(text, from, marker));
}

int LastPos(const QString& marker, const QString& text) {
  return ReversePos(marker, text, std::numeric_limits<std::int32_t>::max());
}

QString Copy(const QString& text, int index, int count) {
  if (index < 1) index = 1;
  if (index > text.size() || count <= 0) return QString();
  return text.mid(index - 1, count);
}

QString Delete(const QString& text, int index, int count) {
  if (index < 1 || index > text.size() || count <= 0) return text;
  QString result = text;
  result.remove(index - 1, count);
  return result;
}

QString Trim(const QString& text) {
  qsizetype begin = 0;
  qsizetype end = text.size();
  while (begin < end && text.at(begin).unicode() <= 0x20) ++begin;
  while (end > begin && text.at(end - 1).unicode() <= 0x20) --end;
  if (begin == 0 && end == text.size()) return text;
  return text.mid(begin, end - begin);
}

QString ReplaceAll(const QString& text, const QString& oldText, const QString& newText) {
  if (oldText.isEmpty() || text.isEmpty()) return text;
  qsizetype found = FindForward(text, 0, oldText);
  if (found < 0) return text;
  QString result;
  result.reserve(text.size());
  qsizetype done = 0;
  while (found >= 0) {
    result.append(QStringView(text).sliced(done, found - done));
    result.append(newText);
    done = found + oldText.size();
    found = FindForward(text, done, oldText);
  }
  result.append(QStringView(text).sliced(done));
  return result;
}

QString ExtractBetween(const QString& text, const QString& startMarker,
                       const QString& secondMarker, const QString& endMarker) {
  int p = Pos(startMarker, text);
  if (p == 0) return QString();
  int markerLength = static_cast<int>(startMarker.size());
  if (!secondMarker.isEmpty()) {
    p = PosEx(secondMarker, text, p + markerLength);
    if (p == 0) return QString();
    markerLength = static_cast<int>(secondMarker.size());
  }
  const int begin = p + markerLength;
  int end;
  if (endMarker.isEmpty()) {
    end = static_cast<int>(text.size()) + 1;
  } else {
    end = PosEx(endMarker, text, begin);
    if (end == 0) return QString();
  }
  return Copy(text, begin, end - begin);
}

QString ExtractBetweenReverse(const QString& text, const QString& anchor,
                              const QString& secondAnchor, const QString& startMarker) {
  int p = ReversePos(anchor, text, std::numeric_limits<std::int32_t>::max());
  if (p == 0) return QString();
  if (!secondAnchor.isEmpty()) {
    p = ReversePos(secondAnchor, text, p - 1);
    if (p == 0) return QString();
  }
  const int s = ReversePos(startMarker, text, p - 1);
  if (s == 0) return QString();
  const int markerLength = static_cast<int>(startMarker.size());
  return Copy(text, s + markerLength, p - s - markerLength);
}

int ReversePos(const QString& marker, const QString& text, std::int32_t limit) {
  if (marker.isEmpty() || text.isEmpty() || limit <= 0) return 0;
  const qsizetype prefix = std::min<qsizetype>(limit, text.size());
  if (marker.size() > prefix) return 0;
  // The last occurrence may begin no later than where the marker still fits in the prefix.
  const qsizetype lastStart = prefix - marker.size();
  return ToPos(text.lastIndexOf(marker, lastStart, Qt::CaseSensitive));
}

QByteArray StreamToString(base::TMemoryStream& stream, std::int32_t count) {
  const std::size_t size = stream.Size();
  std::size_t n = count <= 0 ? size : static_cast<std::size_t>(count);
  if (n > size) n = size;
  QByteArray result(stream.Data().data(), static_cast<qsizetype>(n));
  stream.SetPosition(n);
  return result;
}

QString DecodeUtf8Text(const QByteArray& bytes) {
  if (bytes.isEmpty()) return QString();
  // A leading byte order mark is kept as U+FEFF, like every other character; a sequence cut
  // off at the end of the body is ill-formed like any other.
  QStringDecoder decoder(QStringConverter::Utf8,
                         QStringConverter::Flag::ConvertInitialBom | QStringConverter::Flag::Stateless);
  return decoder.decode(QByteArrayView(bytes.constData(), bytes.size()));
}

QString CleanHtmlText(const QString& fragment) {
  // The character references that are turned into plain characters. No two of them can
  // overlap (each runs from "&" to the first ";") and no replacement can form another, so
  // one left-to-right pass gives what replacing them one after the other would give.
  struct TReference {
    QStringView name;
    char16_t replacement;
  };
  static constexpr TReference kReferences[] = {
      {u"&nbsp;", u' '},  {u"&bull;", u'-'},  {u"&times;", u'x'}, {u"&quot;", u'"'},
      {u"&mdash;", u'-'}, {u"&ndash;", u'-'}, {u"&laquo;", u'"'}, {u"&raquo;", u'"'},
      {u"&lt;", u'<'},    {u"&gt;", u'>'},    {u"&#039;", u'\''},
  };
  static constexpr QStringView kBreak = u"<br>";

  if (fragment.isEmpty()) return fragment;
  QString result = fragment;
  QChar* data = result.data();  // every pass shrinks or keeps the text, so it runs in place
  qsizetype length = result.size();

  // Pass 1: character references.
  qsizetype w = 0;
  for (qsizetype r = 0; r < length;) {
    const QChar c = data[r];
    if (c == u'&') {
      bool replaced = false;
      for (const TReference& ref : kReferences) {
        if (StartsAt(data, length, r, ref.name)) {
          data[w++] = QChar(ref.replacement);
          r += ref.name.size();
          replaced = true;
          break;
        }
      }
      if (replaced) continue;
    }
    data[w++] = c;
    ++r;
  }
  length = w;

  // Pass 2: "<br>" (including one that pass 1 made of escaped brackets) becomes a space;
  // CR and LF go. A break split by a line end is not a break: it is stripped in pass 3.
  w = 0;
  for (qsizetype r = 0; r < length;) {
    const QChar c = data[r];
    if (c == u'<' && StartsAt(data, length, r, kBreak)) {
      data[w++] = QChar(u' ');
      r += kBreak.size();
      continue;
    }
    if (c != u'\r' && c != u'\n') data[w++] = c;
    ++r;
  }
  length = w;

  // Pass 3: every "<" goes with what follows it up to the next ">", or to the end.
  w = 0;
  for (qsizetype r = 0; r < length;) {
    const QChar c = data[r];
    if (c != u'<') {
      data[w++] = c;
      ++r;
      continue;
    }
    qsizetype close = r + 1;
    while (close < length && data[close] != u'>') ++close;
    if (close == length) break;
    r = close + 1;
  }
  result.truncate(w);
  return result;
}

QString ReplaceDoubleQuotes(const QString& text) {
  if (!text.contains(u'"')) return text;
  QString result = text;
  result.replace(u'"', u'\'');
  return result;
}

}  // namespace text
