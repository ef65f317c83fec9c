#include "stl/read_mesh_file.h"

#include <cerrno>
#include <fcntl.h>
#include <string>

#include "stl/ascii_reader.h"
#include "stl/binary_reader.h"
#include "stl/detect_format.h"
#include "stl/parallel_ingest.h"

namespace quarvex::stl {
namespace {

template <class Reader>
ReadResult<IndexedMesh> drain(StlSource& source) {
  ReadResult<Reader> reader = Reader::create(source);
  if (!reader) return std::move(reader).error();
  return build_indexed_mesh(reader.value());
}

}  // namespace

ReadResult<IndexedMesh> read_mesh(StlSource& source) {
  if (detect_format(source) == StlFormat::kAscii) return drain<AsciiFacetReader>(source);
  return drain<BinaryFacetReader>(source);
}

ReadResult<MeshFile> read_mesh_file(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    return ReadError{ReadErrorKind::kInvalidInput, 0, "file name contained an unexpected NUL byte"};
  }
  const std::string c_path(path);
  int fd;
  do {
    fd = ::open(c_path.c_str(), O_RDONLY | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return os_read_error(errno);
  StlSource source(fd);  // closed on every return below that does not hand it on
  if (std::optional<SummedMesh> summed = read_summed_mesh(source)) {
    return MeshFile{IndexedMesh{}, std::move(summed), std::move(source)};
  }
  ReadResult<IndexedMesh> mesh = read_mesh(source);
  if (!mesh) return std::move(mesh).error();
  return MeshFile{std::move(mesh).value(), std::nullopt, std::move(source)};
}

}  // namespace quarvex::stl
