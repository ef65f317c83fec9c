#include "fuzz_support.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <unordered_set>
#include <vector>

#include "stl/detect_format.h"
#include "ingest/file_at.h"
#include "ingest/parallel_ascii.h"
#include "ingest/parallel_binary.h"
#include "parallel/inline_scope.h"
#include "vertex_sums.h"

namespace quarvex::fuzz {

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

InputFile::InputFile() : fd_(::memfd_create("fuzz-input", MFD_CLOEXEC)) {
  check(fd_ >= 0, "memfd_create");
  path_ = "/proc/self/fd/" + std::to_string(fd_);
}

InputFile::~InputFile() { ::close(fd_); }

void InputFile::write(const std::uint8_t* data, std::size_t size) { write({}, data, size); }

void InputFile::write(std::string_view a, const std::uint8_t* data, std::size_t size) {
  check(::ftruncate(fd_, 0) == 0, "ftruncate");
  auto put = [&](const void* p, std::size_t n, off_t at) {
    const char* bytes = static_cast<const char*>(p);
    while (n > 0) {
      const ssize_t w = ::pwrite(fd_, bytes, n, at);
      check(w > 0, "pwrite");
      bytes += w;
      n -= static_cast<std::size_t>(w);
      at += w;
    }
  };
  put(a.data(), a.size(), 0);
  put(data, size, static_cast<off_t>(a.size()));
}

int InputFile::open_fresh() const {
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  check(fd >= 0, "reopen");
  return fd;
}

bool valid_utf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned c = p[i];
    std::size_t len;
    std::uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4, cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (std::size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    static constexpr std::uint32_t kSmallest[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kSmallest[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

bool is_ascii_stl(std::string_view file) {
  const std::size_t nl = file.find('\n');
  const std::string_view line = nl == std::string_view::npos ? file : file.substr(0, nl + 1);
  return line.starts_with("solid ") && valid_utf8(line);
}

void check_parallel_agrees(const std::string& path, const stl::ReadResult<std::vector<stl::RawTriangle>>& sequential,
                           bool small_cuts) {
  const stl::SumsByVertex expected = sequential ? stl::sums_in_file_order(sequential.value()) : stl::SumsByVertex{};
  {
    stl::StlSource source(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    const stl::ReadResult<stl::SummedMesh> merged = ingest::read_mesh(source);
    check(merged.ok() == sequential.ok(), "the sequential route into the merge and the reader disagree");
    stl::SumsByVertex got;
    if (merged) check(stl::sums_of(merged.value(), got) && got == expected, "the sequential route summed differently");
  }
  auto agree = [&](const std::optional<stl::SummedMesh>& parallel) {
    if (!sequential) {
      check(!parallel, "the parallel reader accepted a file the sequential reader rejects");
      return;
    }
    if (!parallel) return;
    stl::SumsByVertex got;
    check(stl::sums_of(*parallel, got), "the parallel reader gave a vertex twice");
    check(got == expected, "the parallel reader lost a vertex, found another or summed a normal differently");
  };
  stl::StlSource probe(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  const std::optional<std::uint64_t> size = stl::regular_file_size(probe.fd());
  check(size.has_value(), "the input is not a regular file");
  const bool ascii = stl::detect_format(probe).format == stl::StlFormat::kAscii;
  const int fd = probe.fd();
  if (ascii) {
    for (stl::AsciiCuts cuts : {stl::AsciiCuts{}, stl::AsciiCuts{64, 1}, stl::AsciiCuts{300, 7}}) {
      agree(stl::read_ascii_parallel(fd, *size, no_interrupt(), cuts));
      if (!small_cuts) break;
    }
  } else {
    for (std::size_t window : {stl::kBinaryWindowRecords, std::size_t{1}, std::size_t{3}}) {
      agree(stl::read_binary_parallel(fd, *size, no_interrupt(), window));
    }
    if (parallel::small_file(*size)) {  // read whole on the calling thread
      const parallel::InlineScope small_input(true);
      agree(stl::read_binary_parallel(fd, *size));
    }
  }
}

void check_read_error_text(const std::string& text) {
  static constexpr std::string_view kExact[] = {
      "failed to fill whole buffer",
      "empty file?",
      "ascii STL does not start with \"solid \"",
      "stream did not contain valid UTF-8",
      "EOF while expecting facet or endsolid.",
      "invalid float literal",
      "EOF while expecting vertex",
      "EOF while expecting [\"outer\", \"loop\"]",
      "EOF while expecting [\"endloop\"]",
      "EOF while expecting [\"endfacet\"]",
      "expected finite f32, got NaN which is Nan",
      "expected finite f32, got inf which is Infinite",
      "expected finite f32, got -inf which is Infinite",
  };
  static constexpr std::string_view kPrefixes[] = {
      "invalid facet header: [",
      "vertex f32 f32 f32, got [",
      "expected [\"outer\", \"loop\"], got [",
      "expected [\"endloop\"], got [",
      "expected [\"endfacet\"], got [",
  };
  check(valid_utf8(text), "error text is not valid UTF-8");
  const std::string_view t = text;
  for (std::string_view e : kExact)
    if (t == e) return;
  for (std::string_view p : kPrefixes)
    if (t.starts_with(p) && t.ends_with("]")) return;
  std::fprintf(stderr, "unexpected error text: %s\n", text.c_str());
  check(false, "unknown error text");
}

bool same_outcome(const Triangles& a, const Triangles& b) {
  if (a.ok() != b.ok()) return false;
  if (!a.ok()) return a.error().text == b.error().text;
  return a.value().size() == b.value().size() &&
         (a.value().empty() || std::memcmp(a.value().data(), b.value().data(), a.value().size() * sizeof(stl::RawTriangle)) == 0);
}

void check_ascii_outcome(const Triangles& read) {
  if (!read) {
    check_read_error_text(read.error().text);
    return;
  }
  auto finite = [](const Vec3f& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); };
  for (const stl::RawTriangle& t : read.value()) {
    check(finite(t.normal), "non-finite ASCII normal");
    for (const Vec3f& v : t.vertex) check(finite(v), "non-finite ASCII vertex");
  }
}

std::optional<Triangles> read_through_pipe(std::string_view bytes) {
  int fds[2];
  check(::pipe2(fds, O_CLOEXEC) == 0, "pipe");
  if (static_cast<std::size_t>(::fcntl(fds[1], F_GETPIPE_SZ)) < bytes.size()) {
    ::close(fds[0]);
    ::close(fds[1]);
    return std::nullopt;
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t w = ::write(fds[1], bytes.data() + done, bytes.size() - done);
    check(w > 0, "pipe write");
    done += static_cast<std::size_t>(w);
  }
  ::close(fds[1]);
  stl::StlSource source(fds[0]);
  return stl::read_triangles(source);
}

}  // namespace quarvex::fuzz
