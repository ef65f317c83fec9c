#include "stl/ascii_chunk.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "stl/float_syntax.h"
#include "stl/word_list.h"
#include "support/utf8.h"

namespace quarvex::stl {
namespace {

bool is_blank(char c) noexcept { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// Whether the line starting at `at` begins, after ASCII blanks, with "facet" and a blank.
bool facet_line_at(std::string_view text, std::size_t at) noexcept {
  std::size_t i = at;
  while (i < text.size() && is_blank(text[i])) ++i;
  return text.size() - i > 5 && text.compare(i, 5, "facet") == 0 && (is_blank(text[i + 5]) || text[i + 5] == '\n');
}

bool parse_vec3(const std::vector<std::string_view>& words, std::size_t first, Vec3f& out) {
  float v[3];
  for (int k = 0; k < 3; ++k) {
    if (!parse_f32(words[first + k], v[k]) || !std::isfinite(v[k])) return false;
  }
  out = Vec3f{v[0], v[1], v[2]};
  return true;
}

bool words_are(const std::vector<std::string_view>& words, std::string_view a) {
  return words.size() == 1 && words[0] == a;
}

}  // namespace

ChunkEnd parse_facets(std::string_view text, PodVector<RawTriangle>& out) {
  // Where the facet being read stands: 0 between facets, 1 after the facet line, 2 after
  // "outer loop", 3..5 after the vertices, 6 after "endloop".
  int state = 0;
  RawTriangle triangle{};
  std::vector<std::string_view> words;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const char* start = text.data() + pos;
    const auto* nl = static_cast<const char*>(std::memchr(start, '\n', text.size() - pos));
    const std::size_t length = nl ? static_cast<std::size_t>(nl - start) : text.size() - pos;
    const std::string_view line(start, length);
    pos += length + (nl ? 1 : 0);
    if (!is_valid_utf8(line)) return ChunkEnd::kRejected;
    split_words(line, words);
    if (words.empty()) continue;
    switch (state) {
      case 0:
        if (words[0] == "endsolid") return ChunkEnd::kEndsolid;
        if (words.size() != 5 || words[0] != "facet" || words[1] != "normal" ||
            !parse_vec3(words, 2, triangle.normal)) {
          return ChunkEnd::kRejected;
        }
        break;
      case 1:
        if (words.size() != 2 || words[0] != "outer" || words[1] != "loop") return ChunkEnd::kRejected;
        break;
      case 2:
      case 3:
      case 4:
        if (words.size() != 4 || words[0] != "vertex" || !parse_vec3(words, 1, triangle.vertex[state - 2])) {
          return ChunkEnd::kRejected;
        }
        break;
      case 5:
        if (!words_are(words, "endloop")) return ChunkEnd::kRejected;
        break;
      case 6:
        if (!words_are(words, "endfacet")) return ChunkEnd::kRejected;
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

}  // namespace quarvex::stl
