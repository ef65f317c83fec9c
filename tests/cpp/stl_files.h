// STL test files on disk, and the check that the parallel readers agree with the sequential
// one on a file.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "stl/detect_format.h"
#include "ingest/file_at.h"
#include "ingest/parallel_ascii.h"
#include "ingest/parallel_binary.h"
#include "parallel/inline_scope.h"
#include "ingest/read_mesh_file.h"
#include "vertex_sums.h"

namespace quarvex::stl {
using namespace ::quarvex::ingest;

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/quarvex_stl_XXXXXX";
    path_ = ::mkdtemp(tmpl);
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string write(const std::string& name, const std::string& bytes) const {
    const std::string p = path_ + "/" + name;
    FILE* f = std::fopen(p.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    return p;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline void put_f32(std::string& out, float f) {
  const std::uint32_t b = std::bit_cast<std::uint32_t>(f);
  for (int i = 0; i < 4; ++i) out += static_cast<char>((b >> (8 * i)) & 0xFF);
}

// Binary STL: header, the declared count, and one record per 12-float group.
inline std::string binary_stl(std::uint32_t declared, const std::vector<std::vector<float>>& records,
                       const std::string& header = std::string(80, 'h')) {
  std::string out = header.substr(0, 80) + std::string(80 - std::min<std::size_t>(80, header.size()), '\0');
  for (int i = 0; i < 4; ++i) out += static_cast<char>((declared >> (8 * i)) & 0xFF);
  for (const auto& r : records) {
    for (float f : r) put_f32(out, f);
    out += "\x01\x02";
  }
  return out;
}

// Reads `path` in sequence (its triangles, and into the merge) and with the parallel readers, over a range of window and piece
// sizes that cut the file inside records, lines, numbers and multi-byte characters: where
// the sequential reader fails, every parallel reading must decline; where it succeeds, every
// result into the merge must hold the same vertices with the same normal sums, bit for bit,
// as the sums computed straight from the triangles. Returns whether the default sizes gave a result.
inline bool expect_parallel_agrees(const std::string& path) {
  auto fresh = [&] { return StlSource(::open(path.c_str(), O_RDONLY | O_CLOEXEC)); };
  StlSource probe = fresh();
  if (probe.fd() < 0 || !regular_file_size(probe.fd())) return false;  // no parallel reading
  StlSource triangles_source = fresh();
  const ReadResult<std::vector<RawTriangle>> sequential = read_triangles(triangles_source);
  const SumsByVertex expected = sequential ? sums_in_file_order(sequential.value()) : SumsByVertex{};
  // The sequential route into the merge gives the same sums as every parallel reading.
  StlSource merged_source = fresh();
  const ReadResult<SummedMesh> merged = read_mesh(merged_source);
  EXPECT_EQ(merged.ok(), sequential.ok()) << path;
  if (merged.ok() && sequential.ok()) {
    SumsByVertex got;
    EXPECT_TRUE(sums_of(merged.value(), got)) << path;
    EXPECT_EQ(got, expected) << path << ": the sequential route";
  }
  const bool ascii = detect_format(probe).format == StlFormat::kAscii;
  const std::uint64_t size = regular_file_size(probe.fd()).value();
  auto check = [&](const std::optional<SummedMesh>& parallel, const std::string& how) {
    if (!sequential) {
      EXPECT_FALSE(parallel.has_value()) << path << ": " << how << " accepted what the sequential reader rejects";
    } else if (parallel) {
      SumsByVertex got;
      EXPECT_TRUE(sums_of(*parallel, got)) << path << ": " << how << " gave a vertex twice";
      EXPECT_EQ(got, expected) << path << ": " << how;
    }
    return parallel.has_value();
  };
  if (ascii) {
    for (AsciiCuts cuts : {AsciiCuts{200, 1}, AsciiCuts{256, 7}, AsciiCuts{333, 50}, AsciiCuts{1000, 13},
                           AsciiCuts{4096, 100}}) {
      const std::string how = "window " + std::to_string(cuts.window_bytes) + ", pieces " + std::to_string(cuts.piece_bytes);
      StlSource s = fresh();
      check(read_ascii_parallel(s.fd(), size, no_interrupt(), cuts), how);
      // The same text as a stream: the workers' windows, then the sequential reader from
      // where they stopped, into the same merge, give what the ASCII reader gives (a stream
      // has no binary fallback).
      auto ascii_reading = [&](bool through_workers, ReadError& error) {
        std::vector<RawTriangle> triangles;
        StlSource stream = fresh();
        ReadResult<AsciiFacetReader> reader = AsciiFacetReader::create(stream);
        if (!reader) {
          error = reader.error();
          return std::optional<SummedMesh>();
        }
        std::optional<AsciiStreamParse> parsed;
        if (through_workers) {
          PodVector<char> head;
          reader.value().take_buffered(head);
          stream.put_back(PodVector<std::byte>(reinterpret_cast<const std::byte*>(head.data()),
                                               reinterpret_cast<const std::byte*>(head.data() + head.size())));
          parsed.emplace(parse_ascii_stream(stream, {}, cuts));
          if (!parsed->finished) stream.put_back(std::move(parsed->rest));
        }
        RawTriangle t;
        NextTriangle next = NextTriangle::kEnd;
        if (!parsed || !parsed->finished) {
          while ((next = reader.value().next_triangle(t, error)) == NextTriangle::kTriangle) triangles.push_back(t);
        }
        if (next != NextTriangle::kEnd) return std::optional<SummedMesh>();
        VertexMerge merge = parsed ? std::move(parsed->merge) : VertexMerge(VertexMerge::group_count(), 0);
        const TriangleRun run{triangles.data(), triangles.size()};
        std::vector<RoutedRun> routed;
        merge.add(std::span<const TriangleRun>(&run, 1), routed);
        return std::optional<SummedMesh>(std::move(merge).finish());
      };
      ReadError reference_error, stream_error;
      const std::optional<SummedMesh> reference = ascii_reading(false, reference_error);
      const std::optional<SummedMesh> streamed = ascii_reading(true, stream_error);
      EXPECT_EQ(streamed.has_value(), reference.has_value()) << path << ": the stream, " << how;
      EXPECT_EQ(stream_error.text, reference_error.text) << path << ": the stream, " << how;
      if (streamed && reference) {
        SumsByVertex got, want;
        EXPECT_TRUE(sums_of(*streamed, got) && sums_of(*reference, want)) << path << ": the stream, " << how;
        EXPECT_EQ(got, want) << path << ": the stream, " << how;
      }
    }
    StlSource s = fresh();
    return check(read_ascii_parallel(s.fd(), size), "default cuts");
  }
  for (std::size_t window : {1, 2, 3, 7, 64}) {
    StlSource s = fresh();
    check(read_binary_parallel(s.fd(), size, no_interrupt(), window), "window of " + std::to_string(window));
  }
  if (parallel::small_file(size)) {
    const parallel::InlineScope small_input(true);
    StlSource s = fresh();
    check(read_binary_parallel(s.fd(), size), "read whole on the calling thread");
  }
  StlSource s = fresh();
  return check(read_binary_parallel(s.fd(), size), "default window");
}

}  // namespace quarvex::stl
