// ASCII STL facets parsed from text in memory, a piece of a file at a time, for the parallel
// reader.
//
// A piece starts at the start of a line where a facet may begin and ends at the start of a
// line (or at the end of the file). Its lines go through the one facet grammar and word split
// (stl/facet_grammar.h) that the sequential reader uses, usual lines by the grammar's shortcut
// for them, under the same UTF-8 rule, but no message is made: anything the grammar rejects,
// and a piece that ends inside a facet, is simply a failure. Only a parse that ends between
// two facets (or at "endsolid") vouches for its triangles: then the sequential reader,
// arriving at the piece's start between two facets, would have read exactly the same lines
// the same way.
#pragma once

#include <cstddef>
#include <string_view>

#include "stl/triangle_source.h"
#include "support/pod_vector.h"

namespace quarvex::ingest {

enum class ChunkEnd {
  kBetweenFacets,  // every line parsed, the last facet complete
  kEndsolid,       // stopped at an "endsolid" line; nothing after it was looked at
  kRejected,       // the grammar (or the cut) failed somewhere
};

// Appends the facets of `text` to `out`.
ChunkEnd parse_facets(std::string_view text, PodVector<stl::RawTriangle>& out);

// The start of the first line at or after `from` whose first word is "facet", or npos.
// `from` itself counts when it starts a line (it is 0 or follows a line feed).
std::size_t next_facet_line(std::string_view text, std::size_t from) noexcept;

// The start of the last such line that begins after `after`, or npos.
std::size_t last_facet_line(std::string_view text, std::size_t after) noexcept;

}  // namespace quarvex::ingest
