// Edge rules of the text primitives and the marker helpers.
#include <gtest/gtest.h>

#include <limits>

#include "text/uLib.h"

using namespace text;

namespace {

constexpr std::int32_t kNoLimit = std::numeric_limits<std::int32_t>::max();

struct TSearchCase {
  const char16_t* marker;
  const char16_t* text;
  int start;  // for PosEx / limit for ReversePos
  int expected;
};

QString Q(const char16_t* s) { return QString::fromUtf16(s); }

}  // namespace

TEST(TextPrimitives, Pos) {
  const TSearchCase cases[] = {
      {u"b", u"abcb", 0, 2},
      {u"abc", u"abc", 0, 1},
      {u"abcd", u"abc", 0, 0},
      {u"", u"abc", 0, 0},
      {u"a", u"", 0, 0},
      {u"", u"", 0, 0},
      {u"Б", u"АБВ", 0, 2},
      {u"B", u"abc", 0, 0},  // no case folding
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Pos(Q(c.marker), Q(c.text)), c.expected) << QString::fromUtf16(c.marker).toStdString();
  }
}

TEST(TextPrimitives, PosEx) {
  const TSearchCase cases[] = {
      {u"a", u"abab", 1, 1},
      {u"a", u"abab", 2, 3},
      {u"a", u"abab", 4, 0},
      {u"ab", u"abab", 3, 3},
      {u"ab", u"abab", 4, 0},   // fewer characters left than the marker has
      {u"b", u"abab", 4, 4},    // the last character itself
      {u"a", u"abab", 5, 0},    // beyond the end
      {u"a", u"abab", 0, 0},    // below 1
      {u"a", u"abab", -3, 0},
      {u"", u"abab", 1, 0},
      {u"a", u"", 1, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PosEx(Q(c.marker), Q(c.text), c.start), c.expected)
        << QString::fromUtf16(c.marker).toStdString() << " from " << c.start;
  }
}

TEST(TextPrimitives, PosOnRepetitiveTextAgreesWithAPlainSearch) {
  // Many near misses make the search change its method part way; the answer must not change.
  const QString markers[] = {QStringLiteral("aaab"), QStringLiteral("ab"), QStringLiteral("ba"),
                             QString(QStringLiteral("a")).repeated(40) + QStringLiteral("b"), QStringLiteral("c")};
  for (int length : {10, 300, 5000}) {
    for (int b : {-1, 0, length / 2, length - 1}) {
      QString text(length, u'a');
      if (b >= 0) text[b] = u'b';
      for (const QString& marker : markers) {
        for (int start : {1, 2, length / 3 + 1, length}) {
          const int expected = static_cast<int>(text.indexOf(marker, start - 1)) + 1;
          EXPECT_EQ(PosEx(marker, text, start), expected)
              << "length " << length << " b at " << b << " marker " << marker.size() << " from " << start;
        }
        EXPECT_EQ(Pos(marker, text), static_cast<int>(text.indexOf(marker)) + 1);
      }
    }
  }
}

TEST(TextPrimitives, LastPosCountsOverlaps) {
  const TSearchCase cases[] = {
      {u"aa", u"aaa", 0, 2},
      {u"b", u"abcb", 0, 4},
      {u"x", u"abc", 0, 0},
      {u"", u"abc", 0, 0},
      {u"a", u"", 0, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(LastPos(Q(c.marker), Q(c.text)), c.expected);
}

TEST(TextPrimitives, ReversePosStaysInsideTheLimit) {
  const TSearchCase cases[] = {
      {u"aa", u"aaa", kNoLimit, 2},
      {u"ab", u"xabxab", 6, 5},
      {u"ab", u"xabxab", 5, 2},  // the limit ends inside the later occurrence
      {u"ab", u"xabxab", 3, 2},
      {u"ab", u"xabxab", 2, 0},
      {u"ab", u"xabxab", 0, 0},
      {u"ab", u"xabxab", -1, 0},
      {u"ab", u"xabxab", std::numeric_limits<std::int32_t>::min(), 0},
      {u"", u"abc", 3, 0},
      {u"a", u"", 3, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReversePos(Q(c.marker), Q(c.text), c.start), c.expected) << "limit " << c.start;
  }
}

TEST(TextPrimitives, CopyAndDelete) {
  struct TCase {
    int index;
    int count;
    const char16_t* copied;
    const char16_t* deleted;
  };
  const TCase cases[] = {
      {1, 2, u"ab", u"cde"},
      {2, 3, u"bcd", u"ae"},
      {4, 10, u"de", u"abc"},     // count running past the end
      {5, 1, u"e", u"abcd"},
      {6, 1, u"", u"abcde"},      // index beyond the end
      {0, 2, u"ab", u"abcde"},    // index below 1: copy from 1, delete nothing
      {-5, 2, u"ab", u"abcde"},
      {2, 0, u"", u"abcde"},
      {2, -1, u"", u"abcde"},
      {1, std::numeric_limits<int>::max(), u"abcde", u""},
  };
  const QString text = QStringLiteral("abcde");
  for (const auto& c : cases) {
    EXPECT_EQ(Copy(text, c.index, c.count), Q(c.copied)) << c.index << "," << c.count;
    EXPECT_EQ(Delete(text, c.index, c.count), Q(c.deleted)) << c.index << "," << c.count;
  }
  EXPECT_EQ(Copy(QString(), 1, 1), QString());
  EXPECT_EQ(Delete(QString(), 1, 1), QString());
}

TEST(TextPrimitives, TrimRemovesControlCharactersButNotNoBreakSpace) {
  const struct {
    QString in;
    QString out;
  } cases[] = {
      {QStringLiteral(" \t\r\n a b \x01\x1f"), QStringLiteral("a b")},
      {QString(QChar(0)) + QStringLiteral("x") + QChar(0), QStringLiteral("x")},
      {QStringLiteral("\u00a0x\u00a0"), QStringLiteral("\u00a0x\u00a0")},
      {QStringLiteral("   "), QString()},
      {QString(), QString()},
      {QStringLiteral("!"), QStringLiteral("!")},
  };
  for (const auto& c : cases) EXPECT_EQ(Trim(c.in), c.out);
}

TEST(TextPrimitives, ReplaceAll) {
  const struct {
    const char16_t* text;
    const char16_t* oldText;
    const char16_t* newText;
    const char16_t* expected;
  } cases[] = {
      {u"aaa", u"aa", u"b", u"ba"},            // left to right, no overlap
      {u"abab", u"ab", u"abab", u"abababab"},  // inserted text is not scanned again
      {u"a-b-c", u"-", u"", u"abc"},
      {u"aAa", u"A", u"x", u"axa"},            // case-sensitive
      {u"abc", u"", u"x", u"abc"},             // an empty old text is never found
      {u"", u"a", u"x", u""},
      {u"abc", u"abc", u"", u""},
      {u"xyz", u"q", u"r", u"xyz"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReplaceAll(Q(c.text), Q(c.oldText), Q(c.newText)), Q(c.expected))
        << QString::fromUtf16(c.text).toStdString();
  }
}

TEST(MarkerHelpers, ExtractBetween) {
  const struct {
    const char16_t* text;
    const char16_t* start;
    const char16_t* second;
    const char16_t* end;
    const char16_t* expected;
  } cases[] = {
      {u"<p><h1>Заголовок</h1></p>", u"<h1>", u"", u"</", u"Заголовок"},
      {u"<p>без заголовка</p>", u"<h1>", u"", u"</", u""},
      {u"<th>Дата</th><td>01.01.2020</td>", u"Дата</th>", u"<td>", u"</", u"01.01.2020"},
      // The first cell after the label counts even when it is empty.
      {u"<th>Дата</th><td></td><th>Дата</th><td>02.02.2020</td>", u"Дата</th>", u"<td>", u"</", u""},
      // The second marker only before the start marker.
      {u"<td>x</td><th>Дата</th>", u"Дата</th>", u"<td>", u"</", u""},
      {u"<h1>без конца", u"<h1>", u"", u"</", u""},
      {u"<h1>до конца", u"<h1>", u"", u"", u"до конца"},
      {u"текст<h1>", u"<h1>", u"", u"", u""},
      // Markers never overlap the value: the second marker is searched after the whole start
      // marker, the end marker after the whole current marker.
      {u"abab", u"ab", u"ab", u"", u""},
      {u"aXa", u"a", u"", u"a", u"X"},
      {u"<td></td>", u"<td>", u"", u"</td>", u""},
      {u"", u"<h1>", u"", u"", u""},
      {u"abc", u"", u"", u"c", u""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ExtractBetween(Q(c.text), Q(c.start), Q(c.second), Q(c.end)), Q(c.expected))
        << QString::fromUtf16(c.text).toStdString();
  }
}

TEST(MarkerHelpers, ExtractBetweenReverse) {
  const struct {
    const char16_t* text;
    const char16_t* anchor;
    const char16_t* second;
    const char16_t* start;
    const char16_t* expected;
  } cases[] = {
      // Only the "page=" nearest before the last anchor counts; later ones are never seen.
      {u"?page=2\">2</a> ?page=17\">Последняя</a> ?page=99", u"\">Последняя", u"", u"page=", u"17"},
      {u"page=1 page=2 END page=3 END", u" END", u"", u"page=", u"3"},
      // With a second anchor the boundary is the last second anchor before the anchor.
      {u"page=5\"x page=7\"y LAST", u"LAST", u"\"", u"page=", u"7"},
      {u"page=5\"x page=7 LAST", u"LAST", u"\"", u"page=", u"5"},
      {u"ENDpage=1", u"END", u"", u"page=", u""},           // anchor at position 1
      {u"page=1", u"END", u"", u"page=", u""},             // no anchor
      {u"xxx END", u"END", u"", u"page=", u""},            // no start marker before it
      {u"page=END", u"END", u"", u"page=", u""},           // start marker right before
      {u"page=1 END", u"", u"", u"page=", u""},            // empty anchor
      {u"page=1 END", u"END", u"", u"", u""},              // empty start marker
      {u"page=1 END", u"END", u"Q", u"page=", u""},        // second anchor missing
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ExtractBetweenReverse(Q(c.text), Q(c.anchor), Q(c.second), Q(c.start)), Q(c.expected))
        << QString::fromUtf16(c.text).toStdString();
  }
}

TEST(MarkerHelpers, ArgumentsAreLeftUnchanged) {
  const QString text = QStringLiteral("<h1>a</h1>");
  const QString copy = text;
  (void)ExtractBetween(text, QStringLiteral("<h1>"), QString(), QStringLiteral("</"));
  (void)ReplaceAll(text, QStringLiteral("a"), QStringLiteral("b"));
  (void)CleanHtmlText(text);
  EXPECT_EQ(text, copy);
}
