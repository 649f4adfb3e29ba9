#pragma once
// The code set of the system's text files: the log file is written in it and proxy.txt without a
// byte-order mark is read in it. It is the locale's (LC_CTYPE) code set, except that a locale
// with only 7-bit ASCII, or a code set iconv does not know, gives UTF-8, so that Cyrillic text is
// never reduced to question marks.
#include <QByteArray>
#include <QString>

namespace text {

// The code set of the current locale (LC_CTYPE), as iconv names it.
QByteArray LocaleCodeset();

// Encodes `text` in `codeset` (an iconv name such as "CP1251" or "UTF-8"; empty: the locale's).
// Characters the code set cannot represent become '?'.
QByteArray EncodeToCodeset(const QString& text, const QByteArray& codeset = {});

// Decodes `bytes` from `codeset` (empty: the locale's). A byte sequence that is not valid in
// the code set becomes U+FFFD.
QString DecodeFromCodeset(const QByteArray& bytes, const QByteArray& codeset = {});

}  // namespace text
