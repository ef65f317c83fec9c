#include "ingest/ascii_chunk.h"

#include <cstring>

#include "stl/facet_grammar.h"
#include "stl/white_space.h"
#include "support/utf8.h"

namespace quarvex::ingest {
namespace {

// Whether the line starting at `at` begins, after white space, with the word a facet begins
// with.
bool facet_line_at(std::string_view text, std::size_t at) noexcept {
  constexpr std::size_t n = stl::kFacetWord.size();
  const char* const end = text.data() + text.size();
  const char* const word = stl::skip_space(text.data() + at, end);
  return static_cast<std::size_t>(end - word) > n && std::memcmp(word, stl::kFacetWord.data(), n) == 0 &&
         stl::word_end(word, end) == word + n;
}

}  // namespace

ChunkEnd parse_facets(std::string_view text, PodVector<stl::RawTriangle>& out) {
  const char* p = text.data();
  const char* const end = p + text.size();
  stl::FacetGrammar grammar;
  stl::LineWords words;
  while (p != end) {
    // The usual spelling takes nothing but ASCII and whole white space characters, so what
    // it takes is valid UTF-8; the lines it leaves are checked before their words are read
    // (a line feed never lies inside a character, so line by line is as strict as the whole).
    if (grammar.between_facets()) {
      if (const char* next = grammar.take_usual_facet(p, end)) {
        p = next;
        out.push_back(grammar.triangle());
        continue;
      }
    }
    stl::FacetGrammar::Step step;
    if (const char* next = grammar.take_usual_line(p, end, step)) {
      p = next;
      if (step == stl::FacetGrammar::Step::kTriangle) out.push_back(grammar.triangle());
      continue;
    }
    const auto* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    if (!is_valid_utf8(std::string_view(p, static_cast<std::size_t>((nl ? nl : end) - p)))) return ChunkEnd::kRejected;
    p = stl::read_line_words(p, end, grammar.first_number(), words);
    if (words.count == 0) continue;
    switch (grammar.take(words)) {
      case stl::FacetGrammar::Step::kLine:
        break;
      case stl::FacetGrammar::Step::kTriangle:
        out.push_back(grammar.triangle());
        break;
      case stl::FacetGrammar::Step::kEndsolid:
        return ChunkEnd::kEndsolid;
      default:
        return ChunkEnd::kRejected;
    }
  }
  return grammar.between_facets() ? ChunkEnd::kBetweenFacets : ChunkEnd::kRejected;
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
