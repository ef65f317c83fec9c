#include "ingest/read_mesh_file.h"

#include <cerrno>
#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "stl/ascii_reader.h"
#include "stl/binary_reader.h"
#include "stl/detect_format.h"
#include "ingest/parallel_ingest.h"

namespace quarvex::ingest {
namespace {

stl::ReadResult<stl::IndexedMesh> read_binary(stl::StlSource& source) {
  stl::ReadResult<stl::BinaryFacetReader> reader = stl::BinaryFacetReader::create(source);
  if (!reader) return std::move(reader).error();
  return stl::build_indexed_mesh(reader.value());
}

stl::ReadResult<stl::IndexedMesh> read_ascii(stl::StlSource& source, bool first_line_taken) {
  stl::ReadResult<stl::AsciiFacetReader> reader = stl::AsciiFacetReader::create(source, first_line_taken);
  if (!reader) return std::move(reader).error();
  return stl::build_indexed_mesh(reader.value());
}

// Whether `source` is a regular file of exactly 84 + 50 N bytes, N the count at bytes
// 80..83: the size of a binary STL file with that header.
bool has_binary_size(const stl::StlSource& source) {
  struct stat st {};
  if (::fstat(source.fd(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  std::byte count[4];
  if (::pread(source.fd(), count, 4, stl::kBinaryCountOffset) != 4) return false;
  return static_cast<std::uint64_t>(st.st_size) == stl::binary_stl_size(count);
}

}  // namespace

stl::ReadResult<stl::IndexedMesh> read_mesh(stl::StlSource& source) {
  const stl::Detection detected = stl::detect_format(source);
  if (detected.format == stl::StlFormat::kBinary) return read_binary(source);
  stl::ReadResult<stl::IndexedMesh> ascii = read_ascii(source, detected.first_line_taken);
  if (ascii || ascii.error().kind == stl::ReadErrorKind::kInterrupted) return ascii;
  if (detected.first_line_taken || !has_binary_size(source) || source.rewind() != 0) return ascii;
  return read_binary(source);
}

stl::ReadResult<MeshFile> read_mesh_file(std::string_view path, Interrupt& interrupt) {
  if (path.find('\0') != std::string_view::npos) {
    return stl::ReadError{stl::ReadErrorKind::kInvalidInput, 0, "file name contained an unexpected NUL byte"};
  }
  const std::string c_path(path);
  const int fd = stl::open_for_reading(c_path.c_str(), interrupt);
  if (fd < 0) return stl::os_read_error(errno);
  stl::StlSource source(fd, interrupt);  // closed on every return below that does not hand it on
  // The parallel reader polls between its loops (never while one is in flight); its
  // detection polls as the sequential one does.
  if (interrupt.poll()) return stl::os_read_error(EINTR);
  std::optional<SummedMesh> summed = read_summed_mesh(source, interrupt);
  if (interrupt.poll()) return stl::os_read_error(EINTR);
  if (summed) return MeshFile{stl::IndexedMesh{}, std::move(summed), std::move(source)};
  stl::ReadResult<stl::IndexedMesh> mesh = read_mesh(source);
  if (!mesh) return std::move(mesh).error();
  return MeshFile{std::move(mesh).value(), std::nullopt, std::move(source)};
}

}  // namespace quarvex::ingest
