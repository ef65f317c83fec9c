// Any bytes behind a valid first line, so that every input reaches the ASCII grammar:
// a success yields a well-formed mesh of finite numbers, a failure one of the documented
// texts (valid UTF-8, since it becomes a Python string). A file that happens to be exactly
// of the binary size for the count at bytes 80..83 may fail over to a binary reading,
// whose numbers can be anything; and the parallel reader, cut into
// pieces as small as a line, agrees with the sequential one.
#include <cstdint>

#include "fuzz_support.h"
#include "vertex_sums.h"
#include "ingest/read_mesh_file.h"

namespace qs = quarvex::stl;
using quarvex::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static quarvex::fuzz::InputFile file;
  file.write("solid fuzz\n", data, size);
  qs::StlSource source(file.open_fresh());
  const qs::ReadResult<std::vector<qs::RawTriangle>> read = qs::read_triangles(source);
  quarvex::fuzz::check_parallel_agrees(file.path(), read);
  const std::size_t file_size = 11 + size;
  if (read && file_size >= 84) {
    const std::uint8_t* c = data + (80 - 11);
    const std::uint64_t count = c[0] | std::uint64_t{c[1]} << 8 | std::uint64_t{c[2]} << 16 |
                                std::uint64_t{c[3]} << 24;
    if (file_size == 84 + 50 * count) return 0;
  }
  quarvex::fuzz::check_ascii_outcome(read);
  return 0;
}
