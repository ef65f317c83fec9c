#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "support/unicode_tables.h"
#include "support/utf8.h"
#include "stl/word_list.h"

namespace quarvex::stl {
namespace {

std::vector<std::string> words_of(std::string_view line) {
  std::vector<std::string> words;
  for_each_word(line, [&](std::string_view w) { words.emplace_back(w); });
  return words;
}

// The rendering of a list, also as a message rendered from a line holding those words.
std::string rendered(std::vector<std::string_view> words) {
  const std::string text = word_list_text(words);
  std::string line;
  for (std::string_view w : words) line.append(w).append(" \t");
  if (words_of(line) == std::vector<std::string>(words.begin(), words.end())) {
    EXPECT_EQ(line_words_message("got ", line), "got " + text);
  }
  return text;
}

TEST(SplitWords, EveryWhiteSpaceCharacterSeparates) {
  const char* spaces[] = {"\t", "\v", "\f", "\r", " ", "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80",
                          "\xE2\x80\x80", "\xE2\x80\x85", "\xE2\x80\x8A", "\xE2\x80\xA8",
                          "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};
  for (const char* s : spaces) {
    const std::string sp(s);
    EXPECT_EQ(words_of(sp + "vertex" + sp + sp + "1" + sp + "-2e3" + sp),
              (std::vector<std::string>{"vertex", "1", "-2e3"}))
        << sp;
  }
}

// Long words are scanned in blocks of 16 bytes: every white space character, and every
// lookalike that shares a lead byte or sits just below 0x21, at every offset inside and
// across a block boundary still splits (or does not split) exactly there.
TEST(SplitWords, PositionsAcrossBlocks) {
  const char* spaces[] = {"\t", "\r", " ", "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80",
                          "\xE2\x80\x8A", "\xE2\x81\x9F", "\xE3\x80\x80"};
  const char* lookalikes[] = {"\x1F", "\x7F", "\xC2\xA1", "\xE1\x9A\x81", "\xE2\x80\x8B",
                              "\xE3\x80\x81", "\xC3\xA9", "\xF0\x9F\x98\x80"};
  for (int k = 0; k < 40; ++k) {
    const std::string head(static_cast<std::size_t>(k), 'a');
    const std::string tail(static_cast<std::size_t>(45 - k), 'b');
    for (const char* s : spaces) {
      EXPECT_EQ(words_of(head + s + tail + s + "c"),
                (k == 0 ? std::vector<std::string>{tail, "c"} : std::vector<std::string>{head, tail, "c"}))
          << k << " " << s;
    }
    for (const char* s : lookalikes) {
      const std::string word = head + s + tail;
      EXPECT_EQ(words_of(word + " c"), (std::vector<std::string>{word, "c"})) << k << " " << s;
    }
  }
}

TEST(SplitWords, LookalikesAndControlsBelongToWords) {
  // U+200B ZERO WIDTH SPACE, U+180E MONGOLIAN VOWEL SEPARATOR, U+FEFF, U+2060, NUL, DEL,
  // and characters sharing a lead byte with white space (U+00A1, U+1681, U+2010, U+3001).
  for (const char* s : {"\xE2\x80\x8B", "\xE1\xA0\x8E", "\xEF\xBB\xBF", "\xE2\x81\xA0", "\x7F",
                        "\xC2\xA1", "\xE1\x9A\x81", "\xE2\x80\x90", "\xE3\x80\x81", "\x1F"}) {
    const std::string w = std::string("a") + s + "b";
    EXPECT_EQ(words_of(" " + w + " c"), (std::vector<std::string>{w, "c"})) << w;
  }
  const std::string with_nul("x\0y z", 5);
  EXPECT_EQ(words_of(with_nul), (std::vector<std::string>{std::string("x\0y", 3), "z"}));
  EXPECT_TRUE(words_of("").empty());
  EXPECT_TRUE(words_of(" \t\xE3\x80\x80\r").empty());
}

TEST(WordListText, QuotesAndEscapes) {
  EXPECT_EQ(rendered({}), "[]");
  EXPECT_EQ(rendered({"outer", "loop"}), "[\"outer\", \"loop\"]");
  EXPECT_EQ(rendered({"a\"b", "c\\d", "it's"}), "[\"a\\\"b\", \"c\\\\d\", \"it's\"]");
  EXPECT_EQ(rendered({std::string_view("\0\t\n\r", 4)}), "[\"\\0\\t\\n\\r\"]");
  EXPECT_EQ(rendered({"\x01\x1F\x7F"}), "[\"\\u{1}\\u{1f}\\u{7f}\"]");
  // Printable non-ASCII is kept; format, private-use, unassigned, separators and
  // non-characters are escaped; combining marks are escaped even though printable.
  EXPECT_EQ(rendered({"éж€😀"}), "[\"éж€😀\"]");
  EXPECT_EQ(rendered({"\xC2\xAD\xE2\x80\x8B\xEF\xBB\xBF"}), "[\"\\u{ad}\\u{200b}\\u{feff}\"]");
  EXPECT_EQ(rendered({"\xEE\x80\x80\xF4\x8F\xBF\xBF"}), "[\"\\u{e000}\\u{10ffff}\"]");
  EXPECT_EQ(rendered({"\xC2\xA0\xE2\x80\xA8\xC2\x85"}), "[\"\\u{a0}\\u{2028}\\u{85}\"]");
  EXPECT_EQ(rendered({"e\xCC\x81", "\xE2\x80\x8D"}), "[\"e\\u{301}\", \"\\u{200d}\"]");
  EXPECT_EQ(rendered({"\xF3\xA0\x84\x80"}), "[\"\\u{e0100}\"]");  // variation selector
}

TEST(UnicodeTables, SpotChecks) {
  EXPECT_TRUE(is_printable(U' '));
  EXPECT_TRUE(is_printable(U'~'));
  EXPECT_FALSE(is_printable(0x7F));
  EXPECT_FALSE(is_printable(0x80));
  EXPECT_TRUE(is_printable(0xA1));
  EXPECT_TRUE(is_printable(0x4E00));   // CJK ideograph (a range in the database)
  EXPECT_TRUE(is_printable(0xAC00));   // Hangul syllable (a range)
  EXPECT_FALSE(is_printable(0xD800));  // surrogate
  EXPECT_FALSE(is_printable(0x0378));  // unassigned
  EXPECT_FALSE(is_printable(0x3000));  // ideographic space
  EXPECT_TRUE(is_printable(0x0301));
  EXPECT_TRUE(is_grapheme_extend(0x0301));
  EXPECT_FALSE(is_grapheme_extend(U'a'));
  EXPECT_FALSE(is_grapheme_extend(0x00E9));
}

TEST(Utf8, StrictValidation) {
  for (const char* ok : {"", "plain", "\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xED\x9F\xBF",
                         "\xEE\x80\x80", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF", "12345678\xC3\xA9xyz"}) {
    EXPECT_TRUE(is_valid_utf8(ok)) << ok;
  }
  for (const char* bad : {"\x80", "\xC0\xAF", "\xC1\xBF", "\xE0\x9F\xBF", "\xED\xA0\x80",
                          "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF",
                          "\xC3", "\xE2\x82", "abcdefgh\xE9", "\xC3\n\xA9"}) {
    EXPECT_FALSE(is_valid_utf8(bad)) << bad;
  }
  // Split anywhere, the incremental form agrees with the whole.
  const std::string text = "ab\xF0\x9F\x98\x80\xE2\x82\xAC\xC3\xA9z";
  for (std::size_t cut = 0; cut <= text.size(); ++cut) {
    Utf8Validator v;
    v.feed(reinterpret_cast<const unsigned char*>(text.data()), cut);
    v.feed(reinterpret_cast<const unsigned char*>(text.data()) + cut, text.size() - cut);
    EXPECT_TRUE(v.complete()) << cut;
    Utf8Validator open;
    open.feed(reinterpret_cast<const unsigned char*>(text.data()), 4);
    EXPECT_FALSE(open.complete());
  }
}

// One U+FFFD for each maximal invalid run: a start byte with the continuation bytes still
// allowed after it (a sequence cut short), or one stray byte.
TEST(Utf8, LossyDecodingReplacesEachInvalidRunOnce) {
  const std::string r = "\xEF\xBF\xBD";
  const std::pair<std::string, std::string> cases[] = {
      {"\xC3\xA9\xE2\x82\xAC plain", "\xC3\xA9\xE2\x82\xAC plain"},
      {"a\x80z", "a" + r + "z"},
      {"\xE2\x82", r},
      {"\xE2\x82" "A", r + "A"},
      {"\xF0\x90\x80z", r + "z"},
      {"\xF0\x9F\x98\xF0\x9F\x98\x80", r + "\xF0\x9F\x98\x80"},
      {"\xFF\xFE", r + r},
      {"\xC0\xAF", r + r},                   // never a start byte
      {"\xE0\x80", r + r},                   // overlong: 0x80 not allowed after E0
      {"\xED\xA0\x80", r + r + r},            // surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},     // above U+10FFFF
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(utf8_lossy(in), out) << in;
}

}  // namespace
}  // namespace quarvex::stl
