#include "stl/facet_grammar.h"

#include <cmath>

#include "stl/float_syntax.h"
#include "stl/white_space.h"

namespace quarvex::stl {
namespace {

// Byte equality of short words, without a library call.
bool same_word(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// The line has exactly the row's keywords and count of words.
bool expect_words(const LineWords& line, const FacetLine& row) noexcept {
  if (line.count != row.keyword_count + row.number_count) return false;
  for (std::size_t k = 0; k < row.keyword_count; ++k) {
    if (!same_word(line.word[k], row.keywords[k])) return false;
  }
  return true;
}

// The three numbers of a matched line, in order; the first that is no number or not finite
// decides.
FacetGrammar::Step parse_coordinates(const LineWords& line, Vec3f& out, float& non_finite) noexcept {
  for (int k = 0; k < 3; ++k) {
    if (!line.valid[k]) return FacetGrammar::Step::kInvalidNumber;
    if (!std::isfinite(line.value[k])) {
      non_finite = line.value[k];
      return FacetGrammar::Step::kNonFinite;
    }
  }
  out = Vec3f{line.value[0], line.value[1], line.value[2]};
  return FacetGrammar::Step::kLine;
}

}  // namespace

const char* read_line_words(const char* p, const char* end, std::size_t first_number, LineWords& out) {
  out.count = 0;
  for (;;) {
    p = skip_space(p, end);
    if (p == end) return p;
    if (*p == '\n') return p + 1;
    const char* const start = p;
    const std::size_t number = out.count - first_number;  // wraps below first_number
    if (number < 3) {
      p = read_f32_word(p, end, out.valid[number], out.value[number]);
    } else {
      p = word_end(p, end);
    }
    out.word[out.count] = std::string_view(start, static_cast<std::size_t>(p - start));
    if (++out.count == LineWords::kKept) return p;
  }
}

FacetGrammar::Step FacetGrammar::take(const LineWords& line) noexcept {
  const FacetLine& row = expected();
  if (row_ == 0 && same_word(line.word[0], "endsolid")) return Step::kEndsolid;
  if (!expect_words(line, row)) return Step::kWrongWords;
  if (row.number_count != 0) {
    Vec3f& out = row_ == 0 ? triangle_.normal : triangle_.vertex[row_ - 2];
    const Step numbers = parse_coordinates(line, out, non_finite_);
    if (numbers != Step::kLine) return numbers;
  }
  if (++row_ < std::size(kFacetLines)) return Step::kLine;
  row_ = 0;
  return Step::kTriangle;
}

}  // namespace quarvex::stl
