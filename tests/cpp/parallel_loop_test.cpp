// Parallel loops: index order of collected results, faults carried back to the caller,
// loops that run on the caller, nested loops and many threads at once.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <numeric>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/fault.h"
#include "parallel/cpu_count.h"
#include "parallel/inline_scope.h"
#include "parallel/parallel_loop.h"
#include "parallel/worker_pool.h"
#include "watchdog.h"

namespace quarvex::parallel {
namespace {

using quarvex::testing::Watchdog;

std::unique_ptr<WorkerPool> make_pool(std::size_t threads) {
  std::string error;
  auto pool = WorkerPool::create(threads, error);
  if (!pool) ADD_FAILURE() << error;
  return pool;
}

// Uneven work: some items take far longer, so idle workers steal and split stolen pieces.
std::uint64_t slow_value(std::size_t i) {
  std::uint64_t x = i;
  const int rounds = (i % 97 == 0) ? 20000 : 10;
  for (int r = 0; r < rounds; ++r) x = x * 6364136223846793005ull + 1442695040888963407ull;
  return (x & 0) + i * 3 + 1;  // the result only depends on i
}

class LoopOnPool : public ::testing::TestWithParam<std::size_t> {
 protected:
  void SetUp() override { pool_ = make_pool(GetParam()); }
  WorkerPool& pool() { return *pool_; }
  std::unique_ptr<WorkerPool> pool_;
};

TEST_P(LoopOnPool, CollectKeepsIndexOrder) {
  for (std::size_t n : {0u, 1u, 2u, 3u, 7u, 64u, 1000u, 50021u}) {
    PodVector<std::uint64_t> out;
    collect_into_in(pool(), out, n, [](std::size_t i) { return slow_value(i); });
    ASSERT_EQ(out.size(), n);
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(out[i], i * 3 + 1) << "n=" << n << " i=" << i;
  }
  // Appends behind existing elements.
  PodVector<std::uint64_t> out{7, 8};
  collect_into_in(pool(), out, 5, [](std::size_t i) { return std::uint64_t{i}; });
  EXPECT_EQ(std::vector<std::uint64_t>(out.begin(), out.end()),
            (std::vector<std::uint64_t>{7, 8, 0, 1, 2, 3, 4}));
}

TEST_P(LoopOnPool, UnzipKeepsBothOutputsInIndexOrder) {
  for (std::size_t n : {0u, 1u, 2u, 5u, 20011u}) {
    PodVector<std::uint32_t> a;
    PodVector<double> b;
    collect_unzip_into_in(pool(), a, b, n, [](std::size_t i) {
      return std::pair<std::uint32_t, double>(static_cast<std::uint32_t>(slow_value(i)),
                                              -static_cast<double>(i));
    });
    ASSERT_EQ(a.size(), n);
    ASSERT_EQ(b.size(), n);
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_EQ(a[i], i * 3 + 1);
      ASSERT_EQ(b[i], -static_cast<double>(i));
    }
  }
}

// Folds see every index exactly once, in increasing order within a piece, and the combined
// result of an order-sensitive combiner is the plain left-to-right concatenation.
TEST_P(LoopOnPool, FoldCombinesLeftBeforeRight) {
  const std::size_t n = 5003;
  auto pieces = parallel_fold_in<std::vector<std::pair<std::size_t, std::size_t>>>(
      pool(), n,
      [](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) slow_value(i);
        return std::vector<std::pair<std::size_t, std::size_t>>{{begin, end}};
      },
      [](auto&& left, auto&& right) {
        left.insert(left.end(), right.begin(), right.end());
        return std::move(left);
      });
  ASSERT_FALSE(pieces.empty());
  EXPECT_EQ(pieces.front().first, 0u);
  EXPECT_EQ(pieces.back().second, n);
  for (std::size_t k = 0; k < pieces.size(); ++k) {
    EXPECT_LT(pieces[k].first, pieces[k].second);  // no empty piece
    if (k > 0) {
      EXPECT_EQ(pieces[k - 1].second, pieces[k].first);
    }
  }
  EXPECT_GE(pieces.size(), GetParam() + 1);
}

// Loops inside loop bodies run on the workers' own deques and still give exact results.
TEST_P(LoopOnPool, NestedLoopsUnderStealing) {
  const std::size_t outer = 40, inner = 300;
  PodVector<std::uint64_t> sums;
  collect_into_in(pool(), sums, outer, [&](std::size_t i) {
    PodVector<std::uint64_t> values;
    collect_into_in(pool(), values, inner + i, [&](std::size_t j) { return slow_value(i + j); });
    return parallel_fold_in<std::uint64_t>(
        pool(), values.size(),
        [&](std::size_t b, std::size_t e) {
          return std::accumulate(values.begin() + b, values.begin() + e, std::uint64_t{0});
        },
        [](std::uint64_t l, std::uint64_t r) { return l + r; });
  });
  for (std::size_t i = 0; i < outer; ++i) {
    std::uint64_t expected = 0;
    for (std::size_t j = 0; j < inner + i; ++j) expected += (i + j) * 3 + 1;
    ASSERT_EQ(sums[i], expected) << i;
  }
}

// A fault anywhere comes back to the caller only after every piece has finished; when both
// halves fault the left one wins; the workers stay usable.
TEST_P(LoopOnPool, FaultsComeBackAfterAllPiecesFinished) {
  const std::size_t n = 2000;
  std::atomic<std::size_t> finished{0};
  std::atomic<int> running{0};  // pieces between their start and their end, faulting or not
  struct Ending { std::atomic<int>& running; ~Ending() { --running; } };
  auto run = [&](std::size_t bad_left, std::size_t bad_right) {
    finished = 0;
    parallel_for_in(pool(), n, [&](std::size_t begin, std::size_t end) {
      ++running;
      const Ending ending{running};
      for (std::size_t i = begin; i < end; ++i) {
        if (i == bad_left) throw InternalFault("left " + std::to_string(i));
        if (i == bad_right) throw InternalFault("right " + std::to_string(i));
        slow_value(i);
        std::this_thread::yield();
        finished++;
      }
    });
  };
  for (int round = 0; round < 3; ++round) {
    try {
      run(0, n - 1);
      FAIL() << "no fault";
    } catch (const InternalFault& f) {
      EXPECT_EQ(f.message(), "left 0");
    }
    // A fault ends only its own piece: at least the right half, short of its faulting last
    // item, has run to the end.
    EXPECT_GE(finished.load(), n / 2 - 1);
    EXPECT_EQ(running.load(), 0) << "a piece was still running after the rethrow";
  }
  try {
    run(n, n - 1);
    FAIL() << "no fault";
  } catch (const InternalFault& f) {
    EXPECT_EQ(f.message(), "right 1999");
  }
  // Any C++ exception travels, with its type.
  EXPECT_THROW(parallel_for_in(pool(), n,
                               [](std::size_t b, std::size_t e) {
                                 if (b <= 1000 && 1000 < e) throw std::bad_alloc();
                               }),
               std::bad_alloc);
  // The pool still works.
  PodVector<std::uint64_t> out;
  collect_into_in(pool(), out, n, [](std::size_t i) { return std::uint64_t{i}; });
  ASSERT_EQ(out.size(), n);
  EXPECT_EQ(out[n - 1], n - 1);
}

// A job started from outside the pool: wait() sees what it did, or rethrows its fault, also
// for a job that returns nothing.
TEST_P(LoopOnPool, BackgroundJobGivesBackEffectsAndFaults) {
  int written = 0;
  auto writes = [&](WorkerThread&) { written = 7; };
  BackgroundJob<decltype(writes)> job(pool(), writes);
  job.wait();
  EXPECT_EQ(written, 7);
  auto faults = [](WorkerThread&) { throw InternalFault("background"); };
  BackgroundJob<decltype(faults)> failing(pool(), faults);
  try {
    failing.wait();
    FAIL() << "no fault";
  } catch (const InternalFault& f) {
    EXPECT_EQ(f.message(), "background");
  }
  auto runs_out = [](WorkerThread&) -> int { throw std::bad_alloc(); };
  BackgroundJob<decltype(runs_out)> out_of_memory(pool(), runs_out);
  EXPECT_THROW(out_of_memory.wait(), std::bad_alloc);
}

TEST_P(LoopOnPool, FaultingCollectLeavesOutputsUnchanged) {
  PodVector<int> out{1, 2, 3};
  EXPECT_THROW(collect_into_in(pool(), out, 500,
                               [](std::size_t i) {
                                 if (i == 250) fault("boom");
                                 return static_cast<int>(i);
                               }),
               InternalFault);
  EXPECT_EQ(out.size(), 3u);
  PodVector<int> a{1};
  PodVector<float> b;
  EXPECT_THROW(collect_unzip_into_in(pool(), a, b, 500,
                                     [](std::size_t i) {
                                       if (i == 499) fault("boom");
                                       return std::pair<int, float>(1, 2.0f);
                                     }),
               InternalFault);
  EXPECT_EQ(a.size(), 1u);
  EXPECT_EQ(b.size(), 0u);
}

// With 0 or 1 items, or while the caller's InlineScope is engaged, a loop runs as one piece
// on the caller; otherwise the pool does all the work.
TEST_P(LoopOnPool, TinyOrInlineLoopsRunOnTheCaller) {
  const auto caller = std::this_thread::get_id();
  struct Pieces {
    std::size_t count = 0, on_caller = 0, whole = 0;  // pieces; those on the caller; of [0, n)
  };
  auto run = [&](std::size_t n) {
    std::mutex m;
    Pieces p;
    parallel_for_in(pool(), n, [&](std::size_t b, std::size_t e) {
      std::lock_guard<std::mutex> lock(m);
      ++p.count;
      p.on_caller += std::this_thread::get_id() == caller;
      p.whole += b == 0 && e == n;
    });
    return p;
  };
  auto on_caller = [&](std::size_t n) {
    const Pieces p = run(n);
    return p.count == 1 && p.on_caller == 1 && p.whole == 1;
  };
  auto on_workers = [&](std::size_t n) { return run(n).on_caller == 0; };

  EXPECT_TRUE(on_caller(0));
  EXPECT_TRUE(on_caller(1));
  EXPECT_TRUE(on_workers(2));
  InlineScope::engage_if(true);  // no scope on this thread: nothing changes
  EXPECT_TRUE(on_workers(1000));
  {
    const InlineScope call;
    EXPECT_TRUE(on_workers(1000));
    InlineScope::engage_if(false);
    EXPECT_TRUE(on_workers(1000));
    {
      const InlineScope stage(true);
      EXPECT_TRUE(on_caller(2));
      EXPECT_TRUE(on_caller(1000));
    }
    EXPECT_TRUE(on_workers(1000));  // the inner scope's engagement ended with it
    InlineScope::engage_if(true);
    EXPECT_TRUE(on_caller(1000));
    {
      const InlineScope nested;  // inherits the engagement
      PodVector<std::uint32_t> a;
      PodVector<double> b;
      collect_unzip_into_in(pool(), a, b, 3000, [](std::size_t i) {
        EXPECT_EQ(current_worker(), nullptr);
        return std::pair<std::uint32_t, double>(static_cast<std::uint32_t>(i), -static_cast<double>(i));
      });
      ASSERT_EQ(a.size(), 3000u);
      for (std::size_t i = 0; i < a.size(); ++i) ASSERT_TRUE(a[i] == i && b[i] == -static_cast<double>(i));
    }
  }
  EXPECT_TRUE(on_workers(1000));
  EXPECT_EQ(current_worker(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Threads, LoopOnPool, ::testing::Values(1, 2, 8));

// Several outside threads drive loops on one pool at the same time, with pauses long enough
// for the workers to fall asleep in between; a lost wake-up would hang here.
TEST(Loop, ManyCallersAndSleepingWorkers) {
  auto pool = make_pool(4);
  Watchdog watchdog("loops from several callers");
  std::vector<std::thread> callers;
  std::atomic<bool> ok{true};
  for (int c = 0; c < 3; ++c)
    callers.emplace_back([&, c] {
      for (int round = 0; round < 60; ++round) {
        const std::size_t n = 2 + static_cast<std::size_t>((round * 7 + c * 13) % 300);
        const auto sum = parallel_fold_in<std::uint64_t>(
            *pool, n,
            [](std::size_t b, std::size_t e) {
              std::uint64_t s = 0;
              for (std::size_t i = b; i < e; ++i) s += i;
              return s;
            },
            [](std::uint64_t l, std::uint64_t r) { return l + r; });
        if (sum != n * (n - 1) / 2) ok = false;
        if (round % 10 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(3));
      }
    });
  for (auto& t : callers) t.join();
  EXPECT_TRUE(ok.load());
}

// Once every worker sleeps, a loop from outside must wake one, and the halves that worker
// forks must wake another while a CPU is free for it. When that second worker runs is up to
// the machine: on a loaded one the first could finish every piece before it is scheduled.
// So each piece waits, up to a generous deadline, until a second worker has joined the loop:
// a woken worker always gets there, however late; without the wake-up none ever does.
TEST(Loop, LoopsWakeAPoolWhoseWorkersAllSleep) {
  for (std::size_t threads : {1u, 2u, 4u}) {
    auto pool = make_pool(threads);
    // Pushes recruit workers only up to the CPUs (sleep_state.h).
    const bool second_worker_due = threads > 1 && available_cpus() > 1;
    Watchdog watchdog("loops on a sleeping pool");
    for (int round = 0; round < 3; ++round) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (pool->sleeping_threads() != threads) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "workers never fell asleep";
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      std::mutex m;
      std::condition_variable joined;
      std::set<std::thread::id> where;
      const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      parallel_for_in(*pool, 64, [&](std::size_t, std::size_t) {
        std::unique_lock<std::mutex> lock(m);
        where.insert(std::this_thread::get_id());
        joined.notify_all();
        if (second_worker_due) joined.wait_until(lock, give_up, [&] { return where.size() > 1; });
      });
      if (second_worker_due) {
        ASSERT_GT(where.size(), 1u) << "no second worker was woken within 20 s (round " << round
                                    << ", " << threads << " threads)";
      }
    }
  }
}

// A worker whose forked half was stolen waits for it and, with nothing else to do, falls
// asleep; the thief finishing that half must wake it. Here the stolen half returns only once
// the owner is asleep.
TEST(Loop, StolenHalfWakesItsSleepingOwner) {
  if (available_cpus() < 2) GTEST_SKIP() << "a second worker is woken only for a free CPU";
  auto pool = make_pool(2);
  Watchdog watchdog("a loop whose owner sleeps on a stolen half");
  std::atomic<bool> right_started{false};
  parallel_for_in(*pool, 2, [&](std::size_t begin, std::size_t) {
    if (begin == 0) {  // the owner's own half: done once the other half runs elsewhere
      right_started.wait(false);
    } else {
      right_started = true;
      right_started.notify_one();
      while (pool->sleeping_threads() != 1) std::this_thread::yield();  // the watchdog bounds it
    }
  });
}

// A job pushed just after a worker's last search, as it falls asleep, must still wake it.
// How long after a loop the pool counts every worker asleep is measured first; the caller's
// pauses before the next loop then sweep across that moment, for a bounded time (a loaded
// machine stretches the moment to milliseconds). A missed wake-up leaves the caller blocked
// for good: the watchdog turns that into a failure.
TEST(Loop, NoLostWakeUpAroundFallingAsleep) {
  using Clock = std::chrono::steady_clock;
  for (std::size_t threads : {1u, 2u}) {
    auto pool = make_pool(threads);
    Watchdog watchdog("loops around falling asleep");
    auto tiny_loop = [&] {
      return parallel_fold_in<std::size_t>(
          *pool, 2, [](std::size_t b, std::size_t e) { return e - b; },
          [](std::size_t l, std::size_t r) { return l + r; });
    };
    std::vector<Clock::duration> until_asleep;
    for (int round = 0; round < 51; ++round) {
      ASSERT_EQ(tiny_loop(), 2u);
      const auto start = Clock::now();
      while (pool->sleeping_threads() != threads) {
      }
      until_asleep.push_back(Clock::now() - start);
    }
    std::nth_element(until_asleep.begin(), until_asleep.begin() + 25, until_asleep.end());
    const auto typical = until_asleep[25];
    const auto stop = Clock::now() + std::chrono::seconds(5);
    std::uint64_t seed = 12345;
    for (int round = 0; round < 5000 && Clock::now() < stop; ++round) {
      ASSERT_EQ(tiny_loop(), 2u);
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      const auto until = Clock::now() + typical * static_cast<int>((seed >> 33) % 1024) / 512;
      while (Clock::now() < until) {
      }
    }
  }
}

// Deep nesting on the process-wide pool through the public functions.
TEST(Loop, NestedStressOnTheGlobalPool) {
  ASSERT_GE(current_num_threads(), 1u);
  for (int round = 0; round < 5; ++round) {
    const auto total = parallel_fold<std::uint64_t>(
        24,
        [](std::size_t b, std::size_t e) {
          std::uint64_t s = 0;
          for (std::size_t i = b; i < e; ++i) {
            PodVector<std::uint32_t> a;
            PodVector<std::uint32_t> c;
            collect_unzip_into(a, c, 50 + i, [](std::size_t j) {
              return std::pair<std::uint32_t, std::uint32_t>(static_cast<std::uint32_t>(j), 1);
            });
            parallel_for(a.size(), [&](std::size_t x, std::size_t y) {
              for (std::size_t j = x; j < y; ++j) a[j] += c[j];
            });
            s += std::accumulate(a.begin(), a.end(), std::uint64_t{0});
          }
          return s;
        },
        [](std::uint64_t l, std::uint64_t r) { return l + r; });
    std::uint64_t expected = 0;
    for (std::uint64_t i = 0; i < 24; ++i) expected += (50 + i) * (51 + i) / 2;
    ASSERT_EQ(total, expected);
  }
}

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;  // no fork with running threads, no address-space limits
#else
constexpr bool kSanitized = false;
#endif

std::size_t thread_count() {
  const std::filesystem::directory_iterator tasks("/proc/self/task");
  return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

// Runs `child` in a forked process and returns its exit status (it must exit by itself).
template <class Child>
int exit_status_of_child(Child&& child) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(60);  // a hang in the child ends it by signal
    ::_exit(child());
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The child of a fork has none of the parent's workers; its loops must still run, on a pool
// of its own, sized from the environment as the child finds it.
TEST(ProcessPool, ChildOfForkGetsAFreshPool) {
  if (kSanitized) GTEST_SKIP() << "fork with running threads under a sanitizer";
  const std::size_t parent_threads = current_num_threads();
  const auto parent_sum = parallel_fold<std::uint64_t>(
      1000, [](std::size_t b, std::size_t e) { return std::uint64_t{e - b}; },
      [](std::uint64_t l, std::uint64_t r) { return l + r; });
  ASSERT_EQ(parent_sum, 1000u);
  const std::size_t wanted = parent_threads == 3 ? 5 : 3;
  const int status = exit_status_of_child([wanted] {
    ::setenv("RAYON_NUM_THREADS", std::to_string(wanted).c_str(), 1);
    if (current_num_threads() != wanted) return 2;
    PodVector<std::uint64_t> out;
    collect_into(out, 10000, [](std::size_t i) { return std::uint64_t{i * 2}; });
    for (std::size_t i = 0; i < out.size(); ++i)
      if (out[i] != i * 2) return 3;
    return out.size() == 10000 ? 0 : 4;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(current_num_threads(), parent_threads);  // the parent's pool is untouched
}

// When the process-wide pool cannot start its threads, the loop faults and nothing of the
// attempt is kept: the next loop tries again, and succeeds once the limit is lifted.
TEST(ProcessPool, FailedCreationIsRetried) {
  if (kSanitized) GTEST_SKIP() << "address-space limit under a sanitizer";
  current_num_threads();
  const int status = exit_status_of_child([] {
    // More workers than the C library's cache of old thread stacks can serve, and less
    // address space left than one new stack needs.
    ::setenv("RAYON_NUM_THREADS", "200", 1);
    long pages = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
      std::fclose(f);
    }
    if (pages == 0) return 10;
    rlimit rl{};
    if (::getrlimit(RLIMIT_AS, &rl) != 0) return 11;
    const rlimit saved = rl;
    rl.rlim_cur = static_cast<rlim_t>(pages) * ::sysconf(_SC_PAGESIZE) + (1 << 20);
    if (::setrlimit(RLIMIT_AS, &rl) != 0) return 11;
    const std::string prefix = "The global thread pool has not been initialized.";
    for (int attempt = 0; attempt < 2; ++attempt) {
      try {
        parallel_for(5, [](std::size_t, std::size_t) {});
        return 12;
      } catch (const InternalFault& f) {
        if (f.message().rfind(prefix, 0) != 0) return 13;
      } catch (...) {
        return 14;
      }
      if (thread_count() != 1) return 18;  // no worker of the failed start is left
    }
    if (::setrlimit(RLIMIT_AS, &saved) != 0) return 15;
    if (current_num_threads() != 200) return 16;
    const auto sum = parallel_fold<std::uint64_t>(
        1000, [](std::size_t b, std::size_t e) { return std::uint64_t{e - b}; },
        [](std::uint64_t l, std::uint64_t r) { return l + r; });
    return sum == 1000 ? 0 : 17;
  });
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace quarvex::parallel
