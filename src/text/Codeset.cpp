#include "text/Codeset.h"

#include <algorithm>
#include <cerrno>
#include <iconv.h>
#include <langinfo.h>

namespace text {

namespace {

bool IsUtf8Name(const QByteArray& cs) {
  const QByteArray n = cs.toUpper();
  return n == "UTF-8" || n == "UTF8";
}

bool IsAsciiOnly(const QByteArray& cs) {
  const QByteArray n = cs.toUpper();
  return n.isEmpty() || n == "ANSI_X3.4-1968" || n == "ASCII" || n == "US-ASCII" ||
         n == "646" || n == "POSIX" || n == "C";
}

// The code set to convert with; empty when the text is UTF-8 as it stands.
QByteArray EffectiveCodeset(const QByteArray& codeset) {
  const QByteArray cs = codeset.isEmpty() ? LocaleCodeset() : codeset;
  if (IsUtf8Name(cs) || IsAsciiOnly(cs)) return {};
  return cs;
}

// Length of the UTF-8 sequence that starts with `lead` (1 for a stray byte).
int Utf8SequenceLength(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
  if (lead >= 0xC2) return 2;
  return 1;
}

// Runs `in` through the open converter. A sequence the converter rejects is replaced by
// `replacement` and skipped by skipLength(its first byte) bytes.
template <typename SkipLength>
QByteArray Convert(iconv_t cd, const QByteArray& input, const QByteArray& replacement,
                   SkipLength skipLength) {
  QByteArray out;
  out.resize(input.size() * 2 + 16);
  char* in = const_cast<char*>(input.constData());
  size_t inLeft = static_cast<size_t>(input.size());
  char* dst = out.data();
  size_t dstLeft = static_cast<size_t>(out.size());
  const auto grow = [&] {
    const qsizetype used = dst - out.data();
    out.resize(out.size() * 2);
    dst = out.data() + used;
    dstLeft = static_cast<size_t>(out.size() - used);
  };
  while (inLeft > 0) {
    if (iconv(cd, &in, &inLeft, &dst, &dstLeft) != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {
      grow();
      continue;
    }
    // EILSEQ (not representable or not valid) or EINVAL (cut sequence): one replacement.
    while (dstLeft < static_cast<size_t>(replacement.size())) grow();
    dst = std::copy(replacement.cbegin(), replacement.cend(), dst);
    dstLeft -= static_cast<size_t>(replacement.size());
    const size_t skip =
        std::min<size_t>(inLeft, static_cast<size_t>(skipLength(static_cast<unsigned char>(*in))));
    in += skip;
    inLeft -= skip;
  }
  out.resize(dst - out.data());
  return out;
}

}  // namespace

QByteArray LocaleCodeset() {
  const char* cs = nl_langinfo(CODESET);
  return cs ? QByteArray(cs) : QByteArray();
}

QByteArray EncodeToCodeset(const QString& text, const QByteArray& codeset) {
  const QByteArray cs = EffectiveCodeset(codeset);
  const QByteArray utf8 = text.toUtf8();
  if (cs.isEmpty()) return utf8;
  iconv_t cd = iconv_open(cs.constData(), "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return utf8;
  QByteArray out = Convert(cd, utf8, "?", Utf8SequenceLength);
  iconv_close(cd);
  return out;
}

QString DecodeFromCodeset(const QByteArray& bytes, const QByteArray& codeset) {
  const QByteArray cs = EffectiveCodeset(codeset);
  if (cs.isEmpty()) return QString::fromUtf8(bytes);
  iconv_t cd = iconv_open("UTF-8", cs.constData());
  if (cd == reinterpret_cast<iconv_t>(-1)) return QString::fromUtf8(bytes);
  const QByteArray utf8 = Convert(cd, bytes, "\xEF\xBF\xBD", [](unsigned char) { return 1; });
  iconv_close(cd);
  return QString::fromUtf8(utf8);
}

}  // namespace text
