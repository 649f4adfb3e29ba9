// From received bytes to plain values: the stream, UTF-8 decoding, HTML cleaning, quotes.
#include <gtest/gtest.h>

#include <random>

#include "text/uLib.h"

using namespace text;

namespace {

base::TMemoryStream StreamOf(const std::string& bytes) {
  base::TMemoryStream s;
  s.Write(bytes.data(), bytes.size());
  return s;
}

// The cleaning exactly as its rules are written: fourteen replacements one after the other,
// then tags deleted one at a time from the first "<". Slow, but obviously right.
QString CleanByTheRules(QString t) {
  const std::pair<const char*, const char*> steps[] = {
      {"&nbsp;", " "}, {"&bull;", "-"}, {"&times;", "x"}, {"&quot;", "\""}, {"&mdash;", "-"},
      {"&ndash;", "-"}, {"&laquo;", "\""}, {"&raquo;", "\""}, {"&lt;", "<"}, {"&gt;", ">"},
      {"&#039;", "'"}, {"<br>", " "}, {"\r", ""}, {"\n", ""},
  };
  for (const auto& [from, to] : steps) t = ReplaceAll(t, QString::fromLatin1(from), QString::fromLatin1(to));
  const QString lt = QStringLiteral("<");
  const QString gt = QStringLiteral(">");
  for (int p = Pos(lt, t); p != 0; p = Pos(lt, t)) {
    const int q = PosEx(gt, t, p);
    t = q != 0 ? Delete(t, p, q - p + 1) : Delete(t, p, static_cast<int>(t.size()));
  }
  return t;
}

}  // namespace

TEST(StreamToString, ReadsFromTheBeginningAndKeepsEveryByte) {
  const std::string body("a\0\xff\x80z", 5);
  const struct {
    std::int32_t count;
    qsizetype size;
  } cases[] = {{0, 5}, {-1, 5}, {3, 3}, {5, 5}, {1000, 5}};
  for (const auto& c : cases) {
    base::TMemoryStream s = StreamOf(body);  // positioned at its end after the write
    const QByteArray got = StreamToString(s, c.count);
    EXPECT_EQ(got, QByteArray(body.data(), c.size)) << "count " << c.count;
    EXPECT_EQ(s.Position(), static_cast<std::size_t>(c.size));
  }
  base::TMemoryStream empty;
  EXPECT_TRUE(StreamToString(empty, 0).isEmpty());
}

TEST(DecodeUtf8Text, DecodesAndMarksIllFormedBytes) {
  const QChar bad(0xFFFD);
  const struct {
    QByteArray in;
    QString out;
  } cases[] = {
      {QByteArray(), QString()},
      {QByteArray("<html>\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82</html>"),
       QStringLiteral("<html>Привет</html>")},
      {QByteArray("a\0b", 3), QString(QStringLiteral("a")) + QChar(0) + QStringLiteral("b")},
      {QByteArray("\xef\xbb\xbfx"), QString(QChar(0xFEFF)) + QStringLiteral("x")},  // a BOM is kept
      {QByteArray("\xf0\x9f\x98\x80"), QString::fromUtf16(u"\U0001F600")},
      {QByteArray("a\xff" "b"), QStringLiteral("a") + bad + QStringLiteral("b")},
      {QByteArray("\xc0\xaf"), QString()},                  // overlong: replaced, see below
      {QByteArray("\xed\xa0\x80"), QString()},              // an encoded surrogate
      {QByteArray("\xd0"), QString()},                       // truncated at the end
  };
  for (const auto& c : cases) {
    const QString got = DecodeUtf8Text(c.in);
    if (c.out.isNull() && !c.in.isEmpty()) {
      // Ill-formed input: nothing but replacement characters, however many.
      ASSERT_FALSE(got.isEmpty()) << c.in.toHex().toStdString();
      for (QChar ch : got) EXPECT_EQ(ch, bad) << c.in.toHex().toStdString();
    } else {
      EXPECT_EQ(got, c.out) << c.in.toHex().toStdString();
    }
  }
}

TEST(DecodeUtf8Text, SingleByteCyrillicPageKeepsItsMarkup) {
  // "Привет" in a single-byte Cyrillic code page.
  const QByteArray page("<html><h1>\xcf\xf0\xe8\xe2\xe5\xf2</h1></html>");
  const QString text = DecodeUtf8Text(page);
  EXPECT_TRUE(text.startsWith(QStringLiteral("<html><h1>")));
  EXPECT_TRUE(text.endsWith(QStringLiteral("</h1></html>")));
  EXPECT_FALSE(text.contains(QStringLiteral("П")));
  EXPECT_TRUE(text.contains(QChar(0xFFFD)));
}

TEST(CleanHtmlText, Rules) {
  const struct {
    const char16_t* in;
    const char16_t* out;
  } cases[] = {
      {u"", u""},
      {u"&nbsp;a&bull;b&times;c&mdash;d&ndash;e&#039;", u" a-bxc-d-e'"},
      {u"ТОО &quot;Ромашка&quot;", u"ТОО \"Ромашка\""},
      {u"&laquo;Ромашка&raquo; ЖШС", u"\"Ромашка\" ЖШС"},
      {u"&amp; &#160; &NBSP; &Quot; &copy;", u"&amp; &#160; &NBSP; &Quot; &copy;"},  // unknown: as written
      {u"a&lt;b&gt;c", u"ac"},                 // an escaped tag is stripped
      {u"a &lt; b", u"a "},                    // an escaped "<" cuts the rest
      {u"a &gt; b", u"a > b"},                 // a lone ">" stays
      {u"x&lt;br&gt;y", u"x y"},               // an escaped break is a break
      {u"x<br>y", u"x y"},
      {u"x<br/>y<br />z<BR>w", u"xyzw"},       // other breaks are stripped as tags
      {u"x<b\r\nr>y", u"xy"},                  // a break split by a line end is no break
      {u"one\r\ntwo\nthree\r", u"onetwothree"},
      {u"<a href=\"x\">link</a>", u"link"},
      {u"<span>open", u"open"},
      {u"text <unclosed tag", u"text "},
      {u"a<!-- note -->b", u"ab"},
      {u"a<!-- x > y -->b", u"a y -->b"},      // a comment holding ">" leaves its remainder
      {u"&nbsp;<br> a ", u"   a "},            // not trimmed
      {u"\u00a0a\u00a0", u"\u00a0a\u00a0"},     // a literal no-break space stays
      {u"&&nbsp;;", u"& ;"},
      {u"&nbsp", u"&nbsp"},                     // a reference cut off at the end
      {u"<<>>", u">"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CleanHtmlText(QString::fromUtf16(c.in)), QString::fromUtf16(c.out))
        << QString::fromUtf16(c.in).toStdString();
  }
}

TEST(CleanHtmlText, AgreesWithTheStepByStepRulesOnRandomFragments) {
  // Fragments made of the pieces that interact: references, brackets, breaks, line ends.
  const char* pieces[] = {"&nbsp;", "&lt;", "&gt;", "&quot;", "&laquo;", "&#039;", "&amp;",
                          "<br>", "<b", "r>", "<", ">", "&", ";", "lt", "br", "\r", "\n",
                          "a", " ", "Я", "&times;", "&bull;", "&ndash;"};
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> pick(0, static_cast<int>(std::size(pieces)) - 1);
  std::uniform_int_distribution<int> len(0, 24);
  for (int i = 0; i < 5000; ++i) {
    QString fragment;
    for (int n = len(rng); n > 0; --n) fragment += QString::fromUtf8(pieces[pick(rng)]);
    ASSERT_EQ(CleanHtmlText(fragment), CleanByTheRules(fragment)) << fragment.toStdString();
  }
}

TEST(ReplaceDoubleQuotes, TouchesOnlyDoubleQuotes) {
  EXPECT_EQ(ReplaceDoubleQuotes(QStringLiteral("ТОО \"Ромашка\" 'x' «y»")),
            QStringLiteral("ТОО 'Ромашка' 'x' «y»"));
  EXPECT_EQ(ReplaceDoubleQuotes(QString()), QString());
  EXPECT_EQ(ReplaceDoubleQuotes(CleanHtmlText(QStringLiteral("&laquo;А&raquo; &quot;Б&quot;"))),
            QStringLiteral("'А' 'Б'"));
}
