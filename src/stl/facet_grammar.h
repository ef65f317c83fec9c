// The grammar of ASCII STL facets, line by line: the one definition that both the
// sequential reader (which words every failure) and the parallel pieces (which only accept
// or reject) follow.
//
// A facet is seven lines with words, each matched by one row of kFacetLines: facet normal
// x y z / outer loop / vertex x y z three times / endloop / endfacet. Where a facet may
// begin, a line whose first word is kEndsolid ends the solid instead, whatever follows it.
// A line matches its row when it has exactly the row's keywords followed by the row's count
// of numbers; the keywords and the count are checked before any number, and then the numbers
// in order, the first that is no number or not finite deciding. Everything a reader or a
// shortcut knows of the grammar (the keywords, which rows carry numbers and where they go,
// the row after each, the word that ends the solid, the word a facet begins with) is read
// from kFacetLines and kEndsolid, never written out again.
//
// Words are split by the one white-space rule (white_space.h) and the numbers read in the
// same pass (read_f32_word), so a line is crossed once.
//
// take_usual_line is a shortcut for text in memory: a line spelled the usual way (the row's
// keywords separated by one space, numbers that read_usual_f32 takes, which are finite by
// its contract, nothing after them but blanks) is matched with one comparison of its
// keywords and no word list; take_usual_facet does the same for the seven lines of a facet at
// once. Every other line, and every failure, is left to read_line_words and take, so the
// shortcuts change no outcome.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "stl/float_syntax.h"
#include "stl/triangle_source.h"

namespace quarvex::stl {

// How a line that does not match its row is worded.
enum class LineKind : std::uint8_t {
  kFacet,     // the facet line (or endsolid)
  kKeywords,  // a line of keywords only
  kVertex,    // a vertex line
};

// Where a row's three numbers go, after its keywords; kNone for a row of keywords only.
enum class NumberSlot : std::uint8_t { kNone, kNormal, kVertex0, kVertex1, kVertex2 };

struct FacetLine {
  LineKind kind;
  std::size_t keyword_count;
  std::string_view keywords[2];
  NumberSlot numbers;

  constexpr std::size_t number_count() const noexcept { return numbers == NumberSlot::kNone ? 0 : 3; }
};

// The rows in order; the row after the last is the first again.
inline constexpr FacetLine kFacetLines[] = {
    {LineKind::kFacet, 2, {"facet", "normal"}, NumberSlot::kNormal},
    {LineKind::kKeywords, 2, {"outer", "loop"}, NumberSlot::kNone},
    {LineKind::kVertex, 1, {"vertex"}, NumberSlot::kVertex0},
    {LineKind::kVertex, 1, {"vertex"}, NumberSlot::kVertex1},
    {LineKind::kVertex, 1, {"vertex"}, NumberSlot::kVertex2},
    {LineKind::kKeywords, 1, {"endloop"}, NumberSlot::kNone},
    {LineKind::kKeywords, 1, {"endfacet"}, NumberSlot::kNone},
};

// The first word of a line that ends the solid where a facet may begin.
inline constexpr std::string_view kEndsolid = "endsolid";
// The first word of a line where a facet begins: where the parallel reader cuts the text.
inline constexpr std::string_view kFacetWord = kFacetLines[0].keywords[0];

// The place in `t` of a slot other than kNone.
constexpr Vec3f& slot_in(RawTriangle& t, NumberSlot slot) noexcept {
  return slot == NumberSlot::kNormal ? t.normal : t.vertex[static_cast<int>(slot) - static_cast<int>(NumberSlot::kVertex0)];
}

// The first words of one line, as far as the grammar looks: kKept of them, which is one more
// than any row has, and the numbers among them.
struct LineWords {
  static constexpr std::size_t kKept = 6;
  std::string_view word[kKept];
  std::size_t count = 0;  // words on the line, counted up to kKept
  // The words at the row's number positions, read as numbers: kind[k] says what the word is;
  // value[k] holds it unless it is no number.
  NumberKind kind[3];
  float value[3];
};

// Splits the line that starts at p into `out`, reading the words from `first_number` on (at
// most three) as numbers. The line runs to the first line feed or `end`; returns where the
// next line starts (past the line feed), or, once kKept words are found, where the split
// stopped.
const char* read_line_words(const char* p, const char* end, std::size_t first_number, LineWords& out);

class FacetGrammar {
 public:
  enum class Step : std::uint8_t {
    kLine,           // the line matched and the facet goes on
    kTriangle,       // the line ended a facet: triangle() holds it
    kEndsolid,       // an endsolid line where a facet may begin
    kWrongWords,     // not the row's keywords and count of words
    kInvalidNumber,  // a word that should be a number is none
    kNonFinite,      // a number is infinite or NaN: non_finite() holds it
  };

  // The row the next line must match.
  const FacetLine& expected() const noexcept { return kFacetLines[row_]; }
  // Where the next line's numbers begin, for read_line_words.
  std::size_t first_number() const noexcept {
    return expected().number_count() != 0 ? expected().keyword_count : LineWords::kKept;
  }
  bool between_facets() const noexcept { return row_ == 0; }

  // One line with at least one word, split with first_number(). After any failure the
  // grammar is not asked again.
  Step take(const LineWords& line) noexcept;

  // The line that starts at p, if it is spelled the usual way: takes it (kLine or kTriangle
  // in `step`) and returns where the next line starts. Otherwise returns nullptr and changes
  // nothing the next take() depends on. Only lines with 16 bytes of text from their first
  // word on are looked at.
  const char* take_usual_line(const char* p, const char* end, Step& step) noexcept;
  // Between facets: the seven lines of the facet at p, if every one is spelled the usual
  // way. Takes the facet (triangle() holds it) and returns where the next line starts;
  // otherwise returns nullptr and changes nothing.
  const char* take_usual_facet(const char* p, const char* end) noexcept;

  const RawTriangle& triangle() const noexcept { return triangle_; }
  float non_finite() const noexcept { return non_finite_; }

 private:
  // Where the current row's numbers go, or nullptr for a row without numbers.
  Vec3f* numbers_slot() noexcept {
    const NumberSlot slot = expected().numbers;
    return slot == NumberSlot::kNone ? nullptr : &slot_in(triangle_, slot);
  }
  // Past a matched line: kTriangle when it ended the facet, else kLine.
  Step advance() noexcept {
    if (++row_ < std::size(kFacetLines)) return Step::kLine;
    row_ = 0;
    return Step::kTriangle;
  }

  std::size_t row_ = 0;
  RawTriangle triangle_{};
  float non_finite_ = 0.0f;
};

}  // namespace quarvex::stl
