#include "ingest/ascii_chunk.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>

#include "stl/float_syntax.h"
#include "stl/word_list.h"
#include "support/utf8.h"

namespace quarvex::ingest {
namespace {

bool is_blank(char c) noexcept { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// Whether the line starting at `at` begins, after ASCII blanks, with "facet" and a blank.
bool facet_line_at(std::string_view text, std::size_t at) noexcept {
  std::size_t i = at;
  while (i < text.size() && is_blank(text[i])) ++i;
  return text.size() - i > 5 && text.compare(i, 5, "facet") == 0 && (is_blank(text[i + 5]) || text[i + 5] == '\n');
}

// The words of one line, as far as the grammar needs them: the first six, and how many
// there are up to six (no line of a facet has more than five; an "endsolid" line may have
// any number).
struct Words {
  std::string_view word[6];
  std::size_t count = 0;

  void add(std::string_view w) noexcept {
    if (count < 6) word[count++] = w;
  }
  bool are(std::string_view a) const noexcept { return count == 1 && word[0] == a; }
  bool are(std::string_view a, std::string_view b) const noexcept {
    return count == 2 && word[0] == a && word[1] == b;
  }
};

bool parse_vec3(const Words& words, std::size_t first, Vec3f& out) {
  float v[3];
  for (int k = 0; k < 3; ++k) {
    if (!stl::parse_f32(words.word[first + k], v[k]) || !std::isfinite(v[k])) return false;
  }
  out = Vec3f{v[0], v[1], v[2]};
  return true;
}

bool all_ascii(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  std::uint64_t any = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    any |= w;
  }
  for (; i < n; ++i) any |= p[i];
  return (any & 0x8080808080808080ull) == 0;
}

// Bytes of pure-ASCII text: 0 belongs to a word, 1 is white space (what White_Space holds
// below U+0080) that separates words, 2 is the line feed, which also ends the line.
constexpr std::array<std::uint8_t, 256> kAsciiClass = [] {
  std::array<std::uint8_t, 256> t{};
  for (int c : {0x09, 0x0B, 0x0C, 0x0D, 0x20}) t[c] = 1;
  t[0x0A] = 2;
  return t;
}();

// Sixteen bytes at `p`: bit i of `space` set where p[i] is white space (line feed included),
// bit i of `newline` where it is a line feed.
struct SpaceMasks {
  unsigned space, newline;
};
SpaceMasks space_masks(const unsigned char* p) noexcept {
#ifdef __SSE2__
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  // 0x09..0x0D: v - 9 (wrapping) is at most 4, i.e. equal to its minimum with 4.
  const __m128i shifted = _mm_sub_epi8(v, _mm_set1_epi8(9));
  const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(shifted, _mm_set1_epi8(4)), shifted);
  const __m128i space = _mm_or_si128(control, _mm_cmpeq_epi8(v, _mm_set1_epi8(' ')));
  return SpaceMasks{static_cast<unsigned>(_mm_movemask_epi8(space)),
                    static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))))};
#else
  SpaceMasks m{0, 0};
  for (unsigned i = 0; i < 16; ++i) {
    const unsigned char c = p[i];
    if (c == ' ' || static_cast<unsigned char>(c - 9) <= 4) m.space |= 1u << i;
    if (c == '\n') m.newline |= 1u << i;
  }
  return m;
#endif
}

// The words of the pure-ASCII line at `pos` (up to its line feed, or the end), advancing
// `pos` past the line. Sixteen bytes at a time while that many are left, byte by byte after.
void ascii_line_words(std::string_view text, std::size_t& pos, Words& words) {
  words.count = 0;
  const auto* const base = reinterpret_cast<const unsigned char*>(text.data());
  const auto* p = base + pos;
  const auto* const end = base + text.size();
  for (;;) {
    // Blanks, up to the next word or line feed.
    for (;;) {
      if (end - p < 16) {
        while (p != end && kAsciiClass[*p] == 1) ++p;
        break;
      }
      const SpaceMasks m = space_masks(p);
      const unsigned stop = ~(m.space & ~m.newline) & 0xFFFFu;
      if (stop != 0) {
        p += std::countr_zero(stop);
        break;
      }
      p += 16;
    }
    if (p == end) break;
    if (*p == '\n') {
      ++p;
      break;
    }
    const unsigned char* start = p;
    // The word, up to the next white space.
    for (;;) {
      if (end - p < 16) {
        while (p != end && kAsciiClass[*p] == 0) ++p;
        break;
      }
      const unsigned space = space_masks(p).space;
      if (space != 0) {
        p += std::countr_zero(space);
        break;
      }
      p += 16;
    }
    words.add(std::string_view(reinterpret_cast<const char*>(start), static_cast<std::size_t>(p - start)));
  }
  pos = static_cast<std::size_t>(p - base);
}

// The words of any line at `pos`, which must be valid UTF-8 (else false), advancing `pos`.
bool utf8_line_words(std::string_view text, std::size_t& pos, Words& words) {
  const char* start = text.data() + pos;
  const auto* nl = static_cast<const char*>(std::memchr(start, '\n', text.size() - pos));
  const std::size_t length = nl ? static_cast<std::size_t>(nl - start) : text.size() - pos;
  const std::string_view line(start, length);
  pos += length + (nl ? 1 : 0);
  if (!is_valid_utf8(line)) return false;
  words.count = stl::split_words(line, std::span<std::string_view>(words.word));
  return true;
}

}  // namespace

ChunkEnd parse_facets(std::string_view text, PodVector<stl::RawTriangle>& out) {
  // Text without a byte above 0x7F is valid UTF-8 and has no white space beyond ASCII: its
  // lines take the short way.
  const bool ascii = all_ascii(text);
  // Where the facet being read stands: 0 between facets, 1 after the facet line, 2 after
  // "outer loop", 3..5 after the vertices, 6 after "endloop".
  int state = 0;
  stl::RawTriangle triangle{};
  Words words;
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (ascii) {
      ascii_line_words(text, pos, words);
    } else if (!utf8_line_words(text, pos, words)) {
      return ChunkEnd::kRejected;
    }
    if (words.count == 0) continue;
    switch (state) {
      case 0:
        if (words.word[0] == "endsolid") return ChunkEnd::kEndsolid;
        if (words.count != 5 || words.word[0] != "facet" || words.word[1] != "normal" ||
            !parse_vec3(words, 2, triangle.normal)) {
          return ChunkEnd::kRejected;
        }
        break;
      case 1:
        if (!words.are("outer", "loop")) return ChunkEnd::kRejected;
        break;
      case 2:
      case 3:
      case 4:
        if (words.count != 4 || words.word[0] != "vertex" || !parse_vec3(words, 1, triangle.vertex[state - 2])) {
          return ChunkEnd::kRejected;
        }
        break;
      case 5:
        if (!words.are("endloop")) return ChunkEnd::kRejected;
        break;
      case 6:
        if (!words.are("endfacet")) return ChunkEnd::kRejected;
        out.push_back(triangle);
        state = 0;
        continue;
    }
    ++state;
  }
  return state == 0 ? ChunkEnd::kBetweenFacets : ChunkEnd::kRejected;
}

std::size_t next_facet_line(std::string_view text, std::size_t from) noexcept {
  std::size_t at = from;
  if (at > 0 && at <= text.size() && text[at - 1] != '\n') {
    const std::size_t nl = text.find('\n', at);
    if (nl == std::string_view::npos) return std::string_view::npos;
    at = nl + 1;
  }
  while (at < text.size()) {
    if (facet_line_at(text, at)) return at;
    const std::size_t nl = text.find('\n', at);
    if (nl == std::string_view::npos) break;
    at = nl + 1;
  }
  return std::string_view::npos;
}

std::size_t last_facet_line(std::string_view text, std::size_t after) noexcept {
  std::size_t end = text.size();
  while (end > after) {
    const std::size_t nl = text.rfind('\n', end - 1);
    if (nl == std::string_view::npos || nl < after) return std::string_view::npos;
    if (nl + 1 > after && facet_line_at(text, nl + 1)) return nl + 1;
    end = nl;
  }
  return std::string_view::npos;
}

}  // namespace quarvex::ingest
