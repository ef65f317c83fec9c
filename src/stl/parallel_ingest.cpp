#include "stl/parallel_ingest.h"

#include "stl/detect_format.h"
#include "stl/file_at.h"
#include "stl/parallel_ascii.h"
#include "stl/parallel_binary.h"

namespace quarvex::stl {

std::optional<SummedMesh> read_summed_mesh(StlSource& source, Interrupt& interrupt) {
  const std::optional<std::uint64_t> size = regular_file_size(source.fd());
  if (!size) return std::nullopt;
  if (detect_format(source).format == StlFormat::kAscii) return read_ascii_parallel(source.fd(), *size, interrupt);
  return read_binary_parallel(source.fd(), *size, interrupt);
}

}  // namespace quarvex::stl
