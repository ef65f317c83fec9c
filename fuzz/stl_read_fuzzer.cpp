// Any bytes as an STL file: format detection against the format's own rule, the binary
// reader against a direct decoding of the records, the ASCII reader's failures against its
// documented texts, and the parallel readers against the sequential one. The same bytes are then read once more through a pipe, where the
// rewind after detection fails and the binary reader must go on from where detection left
// the descriptor.
#include <fcntl.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "fuzz_support.h"
#include "stl/detect_format.h"
#include "stl/read_mesh_file.h"

namespace qs = quarvex::stl;
using quarvex::fuzz::check;

namespace {

constexpr std::size_t kHeader = 84;
constexpr std::size_t kRecord = 50;
constexpr std::size_t kChunk = 8192;  // detection reads in chunks of the buffer size

std::uint32_t le32(const unsigned char* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

bool same_bits(const quarvex::Vec3f& v, const unsigned char* p) {
  return std::bit_cast<std::uint32_t>(v.x) == le32(p) &&
         std::bit_cast<std::uint32_t>(v.y) == le32(p + 4) &&
         std::bit_cast<std::uint32_t>(v.z) == le32(p + 8);
}

// The binary reading of `bytes`, checked record by record.
void check_binary(std::string_view bytes, const qs::ReadResult<qs::IndexedMesh>& read) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::uint64_t count = bytes.size() >= kHeader ? le32(p + 80) : 0;
  const bool complete = bytes.size() >= kHeader && (bytes.size() - kHeader) / kRecord >= count;
  if (!complete) {
    check(!read, "a short binary file was read without error");
    check(read.error().text == "failed to fill whole buffer", "wrong text for a short binary file");
    return;
  }
  check(read.ok(), "a complete binary file failed");
  const qs::IndexedMesh& mesh = read.value();
  quarvex::fuzz::check_mesh_shape(mesh);
  check(mesh.faces.size() == count, "face count differs from the declared count");
  for (std::size_t i = 0; i < mesh.faces.size(); ++i) {
    const unsigned char* record = p + kHeader + i * kRecord;
    const qs::MeshFace& face = mesh.faces[i];
    check(same_bits(face.normal, record), "normal bits changed");
    for (int v = 0; v < 3; ++v)
      check(same_bits(mesh.vertices[face.index[v]], record + 12 + 12 * v), "vertex bits changed");
  }
}

void check_ascii(const qs::ReadResult<qs::IndexedMesh>& read) {
  if (!read) {
    quarvex::fuzz::check_read_error_text(read.error().text);
    return;
  }
  const qs::IndexedMesh& mesh = read.value();
  quarvex::fuzz::check_mesh_shape(mesh);
  for (const quarvex::Vec3f& v : mesh.vertices)
    check(std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z), "non-finite ASCII vertex");
  for (const qs::MeshFace& f : mesh.faces)
    check(std::isfinite(f.normal.x) && std::isfinite(f.normal.y) && std::isfinite(f.normal.z),
          "non-finite ASCII normal");
}

// Where a pipe's reader stands after detection: detection takes whole chunks until the
// chunk that holds the first line end (or everything), and what it took is gone.
std::size_t consumed_by_detection(std::string_view bytes) {
  const std::size_t nl = bytes.find('\n');
  if (nl == std::string_view::npos) return bytes.size();
  return std::min(bytes.size(), (nl / kChunk + 1) * kChunk);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static quarvex::fuzz::InputFile file;
  file.write(data, size);
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const bool ascii = quarvex::fuzz::is_ascii_stl(bytes);

  {
    qs::StlSource source(file.open_fresh());
    const qs::StlFormat format = qs::detect_format(source);
    check((format == qs::StlFormat::kAscii) == ascii, "format detection disagrees with the rule");
    check(::lseek(source.fd(), 0, SEEK_CUR) == 0, "detection did not rewind");
  }

  qs::StlSource sequential_source(file.open_fresh());
  const qs::ReadResult<qs::IndexedMesh> mesh = qs::read_mesh(sequential_source);
  if (ascii) {
    check_ascii(mesh);
  } else {
    check_binary(bytes, mesh);
  }
  quarvex::fuzz::check_parallel_agrees(file.path(), mesh);
  // The whole read of a regular file (in parallel, else in sequence) fails exactly as the
  // sequential reader does.
  const qs::ReadResult<qs::MeshFile> whole = qs::read_mesh_file(file.path());
  check(whole.ok() == mesh.ok(), "reading the file whole and in sequence disagree on success");
  if (!whole) check(whole.error().text == mesh.error().text, "reading the file whole gave another message");

  // Through a pipe: the whole input fits into the pipe's buffer, so it is written up front.
  int fds[2];
  check(::pipe2(fds, O_CLOEXEC) == 0, "pipe");
  if (static_cast<std::size_t>(::fcntl(fds[1], F_GETPIPE_SZ)) >= size) {
    std::size_t done = 0;
    while (done < size) {
      const ssize_t w = ::write(fds[1], data + done, size - done);
      check(w > 0, "pipe write");
      done += static_cast<std::size_t>(w);
    }
    ::close(fds[1]);
    qs::StlSource source(fds[0]);
    check_binary(bytes.substr(consumed_by_detection(bytes)), qs::read_mesh(source));
  } else {
    ::close(fds[0]);
    ::close(fds[1]);
  }
  return 0;
}
