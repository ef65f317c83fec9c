// The streaming floor: the file's bytes through one reused 1 MiB buffer per thread, every byte
// touched once (the page-cache copy plus one pass, no fresh pages), what any reader of the
// whole file pays at least:
//   stream_floor FILE RUNS [THREADS]
// With T threads each streams its own contiguous 1/T of the file with pread. One untimed run
// first (pages the file in), then RUNS timed runs; prints {"times": [...], "cpu": [...],
// "points": 0} with wall and CPU seconds of each run, as bench/peers.py does for the tools.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kBuffer = std::size_t{1} << 20;

// XOR of every 64-bit word of [begin, end), read in 1 MiB pieces into one buffer.
std::uint64_t stream(int fd, std::uint64_t begin, std::uint64_t end) {
  static thread_local std::vector<std::uint64_t> buffer(kBuffer / 8);
  std::uint64_t acc = 0;
  for (std::uint64_t at = begin; at < end;) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kBuffer, end - at));
    const ssize_t got = ::pread(fd, buffer.data(), want, static_cast<off_t>(at));
    if (got <= 0) std::exit(3);
    const std::size_t words = static_cast<std::size_t>(got) / 8;
    for (std::size_t i = 0; i < words; ++i) acc ^= buffer[i];
    const auto* tail = reinterpret_cast<const unsigned char*>(buffer.data()) + words * 8;
    for (std::size_t i = 0; i < static_cast<std::size_t>(got) % 8; ++i) acc += tail[i];
    at += static_cast<std::uint64_t>(got);
  }
  return acc;
}

double cpu_seconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

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
  for (std::uint64_t a : acc) all ^= a;
  return all;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: stream_floor FILE RUNS [THREADS]\n");
    return 2;
  }
  const int runs = std::atoi(argv[2]);
  const unsigned threads = argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : 1;
  std::uint64_t sink = run_once(argv[1], threads);
  std::string times, cpus;
  for (int r = 0; r < runs; ++r) {
    const double cpu0 = cpu_seconds();
    const auto start = std::chrono::steady_clock::now();
    sink ^= run_once(argv[1], threads);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = cpu_seconds() - cpu0;
    times += (r ? ", " : "") + std::to_string(wall);
    cpus += (r ? ", " : "") + std::to_string(cpu);
  }
  std::printf("{\"times\": [%s], \"cpu\": [%s], \"points\": 0, \"check\": %llu}\n", times.c_str(), cpus.c_str(),
              static_cast<unsigned long long>(sink & 1));
  return 0;
}
