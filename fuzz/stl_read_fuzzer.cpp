// Any bytes as an STL file: format detection against the format's own rule, the binary
// reader against a direct decoding of the records, the ASCII reader's failures against its
// documented texts, and the parallel readers against the sequential one; a file taken as
// ASCII whose size is exactly that of a binary file for its count may also come out as that
// binary reading (the fallback after an ASCII failure). The same bytes are then read once
// more through a pipe, which cannot rewind: it must give exactly what the file gave, except
// that it has no such fallback.
#include <fcntl.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "fuzz_support.h"
#include "vertex_sums.h"
#include "stl/detect_format.h"
#include "ingest/read_mesh_file.h"

namespace qs = quarvex::stl;
using quarvex::fuzz::check;

namespace {

constexpr std::size_t kHeader = 84;
constexpr std::size_t kRecord = 50;

std::uint32_t le32(const unsigned char* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

bool same_bits(const quarvex::Vec3f& v, const unsigned char* p) {
  return std::bit_cast<std::uint32_t>(v.x) == le32(p) &&
         std::bit_cast<std::uint32_t>(v.y) == le32(p + 4) &&
         std::bit_cast<std::uint32_t>(v.z) == le32(p + 8);
}

using quarvex::fuzz::Triangles;

// Why `read` is not the binary reading of `bytes`, or nullptr if it is.
const char* binary_mismatch(std::string_view bytes, const Triangles& read) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::uint64_t count = bytes.size() >= kHeader ? le32(p + 80) : 0;
  const bool complete = bytes.size() >= kHeader && (bytes.size() - kHeader) / kRecord >= count;
  if (!complete) {
    if (read) return "a short binary file was read without error";
    if (read.error().text != "failed to fill whole buffer") return "wrong text for a short binary file";
    return nullptr;
  }
  if (!read) return "a complete binary file failed";
  const std::vector<qs::RawTriangle>& triangles = read.value();
  if (triangles.size() != count) return "triangle count differs from the declared count";
  for (std::size_t i = 0; i < triangles.size(); ++i) {
    const unsigned char* record = p + kHeader + i * kRecord;
    if (!same_bits(triangles[i].normal, record)) return "normal bits changed";
    for (int v = 0; v < 3; ++v)
      if (!same_bits(triangles[i].vertex[v], record + 12 + 12 * v)) return "vertex bits changed";
  }
  return nullptr;
}

// The binary reading of `bytes`, checked record by record.
void check_binary(std::string_view bytes, const Triangles& read) {
  const char* mismatch = binary_mismatch(bytes, read);
  check(mismatch == nullptr, mismatch);
}

// A file of exactly 84 + 50 N bytes, N its count.
bool has_binary_size(std::string_view bytes) {
  return bytes.size() >= kHeader &&
         bytes.size() == kHeader + kRecord * std::uint64_t{le32(reinterpret_cast<const unsigned char*>(bytes.data()) + 80)};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static quarvex::fuzz::InputFile file;
  file.write(data, size);
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const bool ascii = quarvex::fuzz::is_ascii_stl(bytes);

  {
    qs::StlSource source(file.open_fresh());
    const qs::StlFormat format = qs::detect_format(source).format;
    check((format == qs::StlFormat::kAscii) == ascii, "format detection disagrees with the rule");
    check(::lseek(source.fd(), 0, SEEK_CUR) == 0, "detection did not rewind");
  }

  qs::StlSource sequential_source(file.open_fresh());
  const Triangles mesh = qs::read_triangles(sequential_source);
  // The ASCII reading of a file of the binary size may have failed over to binary.
  const bool fell_back = ascii && has_binary_size(bytes) && binary_mismatch(bytes, mesh) == nullptr;
  if (ascii && !fell_back) {
    quarvex::fuzz::check_ascii_outcome(mesh);
  } else {
    check_binary(bytes, mesh);
  }
  quarvex::fuzz::check_parallel_agrees(file.path(), mesh);
  // The whole read of a regular file (in parallel, else in sequence) fails exactly as the
  // sequential reader does.
  const qs::ReadResult<quarvex::ingest::SummedMesh> whole = quarvex::ingest::read_mesh_file(file.path());
  check(whole.ok() == mesh.ok(), "reading the file whole and in sequence disagree on success");
  if (!whole) check(whole.error().text == mesh.error().text, "reading the file whole gave another message");

  // Through a pipe, when the whole input fits into its buffer.
  if (const std::optional<Triangles> piped = quarvex::fuzz::read_through_pipe(bytes)) {
    if (!quarvex::fuzz::same_outcome(mesh, *piped)) {
      // Only the fallback may differ: the pipe keeps the ASCII failure.
      check(fell_back && !*piped, "a pipe and a file disagree");
      quarvex::fuzz::check_read_error_text(piped->error().text);
    }
  }
  return 0;
}
