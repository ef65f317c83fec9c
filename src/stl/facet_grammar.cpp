#include "stl/facet_grammar.h"

#include <array>

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
  if (line.count != row.keyword_count + row.number_count()) return false;
  for (std::size_t k = 0; k < row.keyword_count; ++k) {
    if (!same_word(line.word[k], row.keywords[k])) return false;
  }
  return true;
}

// The three numbers of a matched line, in order; the first that is no number or not finite
// decides.
FacetGrammar::Step parse_coordinates(const LineWords& line, Vec3f& out, float& non_finite) noexcept {
  for (int k = 0; k < 3; ++k) {
    switch (line.kind[k]) {
      case NumberKind::kFinite:
        continue;
      case NumberKind::kNone:
        return FacetGrammar::Step::kInvalidNumber;
      case NumberKind::kNonFinite:
        non_finite = line.value[k];
        return FacetGrammar::Step::kNonFinite;
    }
  }
  out = Vec3f{line.value[0], line.value[1], line.value[2]};
  return FacetGrammar::Step::kLine;
}

// A row's keywords as the usual line spells them, in two eight-byte words (lane 0 the first
// byte, as load8 reads them) with a mask of the bytes that count: the keywords joined by single
// spaces, and a space after them when numbers follow.
struct UsualSpelling {
  std::uint64_t text[2];
  std::uint64_t mask[2];
  std::size_t length;
};

constexpr UsualSpelling usual_spelling(const FacetLine& row) {
  char bytes[16] = {};
  std::size_t n = 0;
  for (std::size_t k = 0; k < row.keyword_count; ++k) {
    if (k != 0) bytes[n++] = ' ';
    for (char c : row.keywords[k]) bytes[n++] = c;
  }
  if (row.number_count() != 0) bytes[n++] = ' ';
  UsualSpelling s{};
  s.length = n;
  for (std::size_t i = 0; i < n; ++i) {
    s.text[i / 8] |= std::uint64_t{static_cast<unsigned char>(bytes[i])} << (8 * (i % 8));
    s.mask[i / 8] |= std::uint64_t{0xFF} << (8 * (i % 8));
  }
  return s;
}

constexpr auto kUsualSpellings = [] {
  std::array<UsualSpelling, std::size(kFacetLines)> all{};
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = usual_spelling(kFacetLines[i]);
  return all;
}();
static_assert(kUsualSpellings[0].length == 13 && kUsualSpellings[2].length == 7 && kUsualSpellings[6].length == 8);

// The line at p if it is spelled the usual way for the row spelled `usual`, with three
// numbers when `out` is given: stores them in *out and returns where the next line starts;
// otherwise returns nullptr and stores nothing.
[[gnu::always_inline]] inline const char* usual_line(const char* p, const char* end, const UsualSpelling& usual,
                                                     Vec3f* out) noexcept {
  // The indentation in one block when it is shorter than one: the block stops at the first
  // byte that is no ASCII blank, and if that begins a multi-byte space the keywords cannot
  // match, so the line goes to the general path, which knows those.
  if (end - p >= space_block::kSize) {
    const space_block::Mask m = space_block::blank_ends(p);
    p = m != 0 ? p + space_block::first(m) : skip_space(p, end);
  } else {
    p = skip_space(p, end);
  }
  if (end - p < 16) return nullptr;
  if ((((load8(p) ^ usual.text[0]) & usual.mask[0]) | ((load8(p + 8) ^ usual.text[1]) & usual.mask[1])) != 0) {
    return nullptr;
  }
  // From here every byte looked at without an end check lies within the 16 bytes just
  // compared, or within the kUsualNumberReach bytes of the number before it (a usual number
  // word is at most 33 bytes long).
  p += usual.length;
  if (out != nullptr) {
    float value[3];
    for (int k = 0; k < 3; ++k) {
      // One space between the numbers is the usual spelling (the keywords' spelling ends
      // in one); the general skip only where more may follow.
      if (k != 0 && *p == ' ') ++p;
      if (may_begin_space(*p)) p = skip_space(p, end);
      if (end - p < kUsualNumberReach) return nullptr;
      p = read_usual_f32(p, value[k]);  // finite whenever it reads a number (its contract)
      if (p == nullptr) return nullptr;
    }
    if (*p != '\n') {
      p = skip_space(p, end);
      if (p != end && *p != '\n') return nullptr;
    }
    *out = Vec3f{value[0], value[1], value[2]};
  } else if (*p != '\n') {
    // Nothing but white space may follow the keywords on their line.
    p = skip_space(p, end);
    if (p != end && *p != '\n') return nullptr;
  }
  return p == end ? p : p + 1;
}

// The rows from R on, each line matched by code of its own (its spelling and slot are
// constants here), into `t`; where the next line starts, or nullptr.
template <std::size_t R = 0>
[[gnu::always_inline]] inline const char* usual_rows(const char* p, const char* end, RawTriangle& t) noexcept {
  if constexpr (R == std::size(kFacetLines)) {
    return p;
  } else {
    constexpr NumberSlot slot = kFacetLines[R].numbers;
    p = usual_line(p, end, kUsualSpellings[R], slot == NumberSlot::kNone ? nullptr : &slot_in(t, slot));
    return p == nullptr ? nullptr : usual_rows<R + 1>(p, end, t);
  }
}

}  // namespace

const char* read_line_words(const char* p, const char* end, std::size_t first_number, LineWords& out) {
  out.count = 0;
  return split_line(p, end, [&](const char*& q) {
    const char* const start = q;
    const std::size_t number = out.count - first_number;  // wraps below first_number
    q = number < 3 ? read_f32_word(q, end, out.kind[number], out.value[number]) : word_end(q, end);
    out.word[out.count] = std::string_view(start, static_cast<std::size_t>(q - start));
    return ++out.count < LineWords::kKept;
  });
}

const char* FacetGrammar::take_usual_line(const char* p, const char* end, Step& step) noexcept {
  p = usual_line(p, end, kUsualSpellings[row_], numbers_slot());
  if (p == nullptr) return nullptr;
  step = advance();
  return p;
}

const char* FacetGrammar::take_usual_facet(const char* p, const char* end) noexcept {
  RawTriangle t;
  if (!(p = usual_rows(p, end, t))) return nullptr;
  triangle_ = t;
  return p;
}

FacetGrammar::Step FacetGrammar::take(const LineWords& line) noexcept {
  const FacetLine& row = expected();
  if (between_facets() && same_word(line.word[0], kEndsolid)) return Step::kEndsolid;
  if (!expect_words(line, row)) return Step::kWrongWords;
  if (Vec3f* slot = numbers_slot()) {
    const Step numbers = parse_coordinates(line, *slot, non_finite_);
    if (numbers != Step::kLine) return numbers;
  }
  return advance();
}

}  // namespace quarvex::stl
