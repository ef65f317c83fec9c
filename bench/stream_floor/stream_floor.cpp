// The streaming floor: the file's bytes through one reused 1 MiB buffer per thread, every byte
// read and summed once (the page-cache copy plus one pass, no fresh pages), what any reader of
// the whole file pays at least:
//   stream_floor FILE RUNS [THREADS]
// THREADS (default 1) each stream their own contiguous 1/THREADS of the file with pread; the
// benchmark runs it with as many threads as quarvex has workers. Each thread allocates its
// buffer when it starts and reuses it for every piece. One untimed run first (pages the file
// in), then RUNS timed runs, each from open to close, thread start included; prints
// {"times": [...], "cpu": [...], "points": 0, "check": ...} with wall and CPU seconds of each
// run, as bench/peers.py does for the tools. Built at -O3 whatever the build type (CMakeLists):
// the summing loop must be vectorised, or the floor measures the loop instead of the bytes.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kBuffer = std::size_t{1} << 20;
constexpr std::size_t kPage = 4096;
// Where in its page the buffer starts. pread copies from page-aligned page-cache pages; a
// destination at or just below a page boundary makes the copy's loads and stores share their
// low 12 address bits, which measured 1.2 to 1.4 times slower on this machine than a buffer
// 64 to 704 bytes into a page. A fixed place keeps malloc's layout out of the floor; 704
// bytes is where glibc puts a lone 1 MiB aligned_alloc in a small C program.
constexpr std::size_t kPageOffset = 704;

// Sum of every 64-bit word of [begin, end) (and of the bytes of a short tail), read in 1 MiB
// pieces into one buffer. The sum is printed, so the reads and the loop cannot be elided.
std::uint64_t stream(int fd, std::uint64_t begin, std::uint64_t end) {
  auto* block = static_cast<unsigned char*>(std::aligned_alloc(kPage, kBuffer + kPage));
  if (block == nullptr) std::exit(4);
  auto* buffer = reinterpret_cast<std::uint64_t*>(block + kPageOffset);
  std::uint64_t acc = 0;
  for (std::uint64_t at = begin; at < end;) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kBuffer, end - at));
    const ssize_t got = ::pread(fd, buffer, want, static_cast<off_t>(at));
    if (got <= 0) std::exit(3);
    const std::size_t words = static_cast<std::size_t>(got) / 8;
    for (std::size_t i = 0; i < words; ++i) acc += buffer[i];
    const auto* tail = reinterpret_cast<const unsigned char*>(buffer) + words * 8;
    for (std::size_t i = 0; i < static_cast<std::size_t>(got) % 8; ++i) acc += tail[i];
    at += static_cast<std::uint64_t>(got);
  }
  std::free(block);
  return acc;
}

double cpu_seconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// One pass over the file on `threads` threads; the calling thread streams the first part.
std::uint64_t run_once(const char* path, unsigned threads) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) std::exit(2);
  const auto size = static_cast<std::uint64_t>(st.st_size);
  std::vector<std::uint64_t> acc(threads, 0);
  std::vector<std::thread> workers;
  for (unsigned t = 1; t < threads; ++t)
    workers.emplace_back([&, t] { acc[t] = stream(fd, size * t / threads, size * (t + 1) / threads); });
  acc[0] = stream(fd, 0, size / threads);
  for (std::thread& w : workers) w.join();
  ::close(fd);
  std::uint64_t all = 0;
  for (std::uint64_t a : acc) all += a;
  return all;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 2 ? std::atoi(argv[2]) : 0;
  const int threads = argc > 3 ? std::atoi(argv[3]) : 1;
  if (argc < 3 || argc > 4 || runs < 1 || threads < 1 || threads > 1024) {
    std::fprintf(stderr, "usage: stream_floor FILE RUNS [THREADS]\n");
    return 2;
  }
  std::uint64_t sink = run_once(argv[1], static_cast<unsigned>(threads));
  std::string times, cpus;
  for (int r = 0; r < runs; ++r) {
    const double cpu0 = cpu_seconds();
    const auto start = std::chrono::steady_clock::now();
    sink += run_once(argv[1], static_cast<unsigned>(threads));
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = cpu_seconds() - cpu0;
    if (r) {
      times += ", ";
      cpus += ", ";
    }
    times += std::to_string(wall);
    cpus += std::to_string(cpu);
  }
  std::printf("{\"times\": [%s], \"cpu\": [%s], \"points\": 0, \"threads\": %d, \"check\": %llu}\n",
              times.c_str(), cpus.c_str(), threads, static_cast<unsigned long long>(sink & 1));
  return 0;
}
