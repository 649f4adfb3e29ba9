#pragma once
// Text primitives, marker helpers and the conversions from received bytes to plain values.
//
// Text is UTF-16 (QString); lengths count code units; positions are 1-based and 0 means
// "not found". An empty text never contains anything and an empty marker is never found.
// Every function here is pure: it never fails, never throws and touches only its arguments.
#include <cstdint>

#include <QByteArray>
#include <QString>

#include "base/MemoryStream.h"

namespace text {

// Position of the first occurrence of marker in text; 0 if none or either is empty.
int Pos(const QString& marker, const QString& text);
// Position of the first occurrence that begins at or after start; 0 if none, if either is
// empty, if start is below 1 or if fewer characters than the marker's length remain.
int PosEx(const QString& marker, const QString& text, int start);
// Position where the last occurrence begins (overlapping occurrences count); 0 if none.
int LastPos(const QString& marker, const QString& text);
// At most count characters from index on; an index below 1 counts as 1.
QString Copy(const QString& text, int index, int count);
// The text without count characters from index on; nothing is removed for an index outside
// the text or a count of 0 or less.
QString Delete(const QString& text, int index, int count);
// The text without leading and trailing characters up to U+0020 (U+00A0 stays).
QString Trim(const QString& text);
// Every occurrence of oldText, left to right without overlap, replaced by newText; the
// inserted text is never scanned again. An empty oldText replaces nothing.
QString ReplaceAll(const QString& text, const QString& oldText, const QString& newText);

// The text after the first startMarker (and, when secondMarker is not empty, after the first
// secondMarker behind it) up to the next endMarker; an empty endMarker runs to the end of the
// text. A missing marker gives the empty text.
QString ExtractBetween(const QString& text, const QString& startMarker,
                       const QString& secondMarker, const QString& endMarker);
// The text between the last startMarker before a boundary and that boundary; the boundary is
// the last anchor of the text or, when secondAnchor is not empty, the last secondAnchor that
// ends before that anchor. A missing marker gives the empty text.
QString ExtractBetweenReverse(const QString& text, const QString& anchor,
                              const QString& secondAnchor, const QString& startMarker);
// The last position of marker lying wholly within the first limit characters of text.
int ReversePos(const QString& marker, const QString& text, std::int32_t limit);

// The first count bytes of the stream as 8-bit text, one char per byte (count 0 or less, or
// more than the stream holds, reads the whole stream). Reads from the beginning and leaves
// the stream positioned after the bytes read.
QByteArray StreamToString(base::TMemoryStream& stream, std::int32_t count);
// The bytes decoded as UTF-8; every ill-formed sequence becomes U+FFFD, a 0 byte becomes U+0000.
QString DecodeUtf8Text(const QByteArray& bytes);
// A cut-out piece of a page as plain text: a fixed set of character references replaced,
// "<br>" turned into a space, CR and LF removed and every tag stripped. Not trimmed.
QString CleanHtmlText(const QString& fragment);
// Every double quote turned into an apostrophe.
QString ReplaceDoubleQuotes(const QString& text);

}  // namespace text
