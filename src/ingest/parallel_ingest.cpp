#include "ingest/parallel_ingest.h"

#include "stl/detect_format.h"
#include "ingest/file_at.h"
#include "ingest/parallel_ascii.h"
#include "ingest/parallel_binary.h"
#include "parallel/inline_scope.h"

namespace quarvex::ingest {

std::optional<SummedMesh> read_summed_mesh(stl::StlSource& source, Interrupt& interrupt) {
  const std::optional<std::uint64_t> size = regular_file_size(source.fd());
  if (!size) return std::nullopt;
  source.known_regular_file();
  parallel::InlineScope::engage_if(parallel::small_file(*size));
  if (stl::detect_format(source).format == stl::StlFormat::kAscii) return read_ascii_parallel(source.fd(), *size, interrupt);
  return read_binary_parallel(source.fd(), *size, interrupt);
}

}  // namespace quarvex::ingest
