// Worker count selection, the two job queues, the sleep protocol, and pool start-up and
// failure.
#include <gtest/gtest.h>

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "parallel/injector.h"
#include "parallel/job_deque.h"
#include "parallel/sleep_state.h"
#include "parallel/thread_count.h"
#include "parallel/thread_start.h"
#include "parallel/worker_pool.h"
#include "watchdog.h"

namespace quarvex::parallel {
namespace {

using quarvex::testing::Watchdog;

TEST(ThreadCount, ParseAcceptsOnlyPlainUnsignedDecimals) {
  EXPECT_EQ(parse_thread_count("4"), 4u);
  EXPECT_EQ(parse_thread_count("+4"), 4u);
  EXPECT_EQ(parse_thread_count("0"), 0u);
  EXPECT_EQ(parse_thread_count("007"), 7u);
  EXPECT_EQ(parse_thread_count("18446744073709551615"), UINT64_MAX);
  for (const char* bad : {"", "+", "++4", " 4", "4 ", "4x", "-4", "-0", "0x10", "4\n",
                          "18446744073709551616", "99999999999999999999", "\xff" "4", "4\xc3"})
    EXPECT_FALSE(parse_thread_count(bad).has_value()) << '"' << bad << '"';
}

TEST(ThreadCount, ChoiceFollowsTheVariablesInOrder) {
  constexpr std::size_t cpus = 6;
  struct Case {
    const char* num_threads;
    const char* rs_num_cpus;
    std::size_t expected;
  };
  const Case cases[] = {
      {nullptr, nullptr, cpus},
      {"4", nullptr, 4},
      {"+4", "9", 4},
      {" 4", "9", 9},        // invalid first value falls through to the second
      {"4x", nullptr, cpus},
      {"-4", "3", 3},
      {"0", "9", cpus},      // "0" means the CPU count, without a look at the second
      {nullptr, "0", cpus},  // a zero second value is ignored
      {"", "2", 2},
      {"\xff", "2", 2},
      {"99999999999999999999", "5", 5},
      {"70000", nullptr, kMaxThreads},
      {nullptr, "18446744073709551615", kMaxThreads},
      {"65535", nullptr, 65535},
      {"1", "9", 1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(choose_thread_count(c.num_threads, c.rs_num_cpus, cpus), c.expected)
        << (c.num_threads ? c.num_threads : "(unset)") << " / "
        << (c.rs_num_cpus ? c.rs_num_cpus : "(unset)");
  EXPECT_EQ(choose_thread_count(nullptr, nullptr, 100000), kMaxThreads);
}

// Jobs for the queue tests: only their identity matters.
std::vector<JobHeader> make_jobs(std::size_t n) { return std::vector<JobHeader>(n, JobHeader{nullptr}); }

TEST(JobDeque, OwnerTakesNewestThiefStealsOldestAcrossGrowth) {
  JobDeque deque;
  auto jobs = make_jobs(300);  // several doublings past the initial 64
  EXPECT_FALSE(deque.push(&jobs[0]));
  for (std::size_t i = 1; i < jobs.size(); ++i) EXPECT_TRUE(deque.push(&jobs[i]));
  EXPECT_GE(deque.capacity(), 300u);
  JobHeader* out = nullptr;
  ASSERT_EQ(deque.steal(out), StealStatus::kSuccess);
  EXPECT_EQ(out, &jobs[0]);
  EXPECT_EQ(deque.take(), &jobs[299]);
  EXPECT_EQ(deque.take(), &jobs[298]);
  ASSERT_EQ(deque.steal(out), StealStatus::kSuccess);
  EXPECT_EQ(out, &jobs[1]);
  for (std::size_t i = 297; i >= 2; --i) ASSERT_EQ(deque.take(), &jobs[i]);
  EXPECT_EQ(deque.take(), nullptr);
  EXPECT_EQ(deque.steal(out), StealStatus::kEmpty);
  // Usable again after running dry, including the wrapped-around slots.
  for (int round = 0; round < 3; ++round) {
    for (std::size_t i = 0; i < 100; ++i) deque.push(&jobs[i]);
    for (std::size_t i = 100; i-- > 0;) ASSERT_EQ(deque.take(), &jobs[i]);
  }
}

// Every pushed job is taken exactly once, by the owner or by one of the thieves, while the
// owner keeps pushing (and growing) and taking.
TEST(JobDeque, ConcurrentTakeAndStealHandOutEachJobOnce) {
  constexpr std::size_t kJobs = 400000;
  constexpr int kThieves = 1;  // the machine may have only two cores
  JobDeque deque;
  auto jobs = make_jobs(kJobs);
  std::vector<std::atomic<int>> seen(kJobs);
  std::atomic<bool> done{false};
  std::atomic<int> ready{0};
  auto record = [&](JobHeader* job) { seen[static_cast<std::size_t>(job - jobs.data())]++; };

  std::vector<std::thread> thieves;
  for (int t = 0; t < kThieves; ++t)
    thieves.emplace_back([&] {
      JobHeader* out = nullptr;
      ready++;
      ready.notify_one();
      while (!done.load()) {
        if (deque.steal(out) == StealStatus::kSuccess) record(out);
      }
      while (deque.steal(out) != StealStatus::kEmpty)
        if (out != nullptr) record(out), out = nullptr;
    });
  for (int r = ready.load(); r < kThieves; r = ready.load()) ready.wait(r);
  // First a stretch that grows the buffer under the thieves, then mostly single entries, so
  // the owner keeps racing the thieves for the last one.
  for (std::size_t i = 0; i < kJobs; ++i) {
    deque.push(&jobs[i]);
    if (i >= kJobs / 10) {
      if (JobHeader* job = deque.take()) record(job);
    }
  }
  while (JobHeader* job = deque.take()) record(job);
  done = true;
  for (auto& t : thieves) t.join();
  for (std::size_t i = 0; i < kJobs; ++i) ASSERT_EQ(seen[i].load(), 1) << "job " << i;
}

TEST(Injector, FifoAcrossBlocksAndReuse) {
  Injector queue;
  auto jobs = make_jobs(500);
  EXPECT_TRUE(queue.empty());
  EXPECT_EQ(queue.pop(), nullptr);
  for (int round = 0; round < 3; ++round) {
    for (auto& job : jobs) queue.push(&job);
    EXPECT_FALSE(queue.empty());
    for (auto& job : jobs) ASSERT_EQ(queue.pop(), &job);
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(queue.pop(), nullptr);
  }
  // Left non-empty on purpose: the destructor frees the remaining blocks.
  for (std::size_t i = 0; i < 70; ++i) queue.push(&jobs[i]);
}

// Several pushers and poppers: each job comes out once, and each pusher's jobs in its order.
TEST(Injector, ConcurrentPushersAndPoppers) {
  constexpr std::size_t kPushers = 2, kPerPusher = 5000, kPoppers = 3;
  Injector queue;
  Watchdog watchdog("poppers waiting for a lost job");
  auto jobs = make_jobs(kPushers * kPerPusher);
  std::vector<std::atomic<int>> seen(jobs.size());
  std::atomic<std::size_t> popped{0};
  std::atomic<bool> order_ok{true};

  std::vector<std::thread> threads;
  for (std::size_t p = 0; p < kPushers; ++p)
    threads.emplace_back([&, p] {
      for (std::size_t i = 0; i < kPerPusher; ++i) queue.push(&jobs[p * kPerPusher + i]);
    });
  for (std::size_t c = 0; c < kPoppers; ++c)
    threads.emplace_back([&] {
      std::vector<std::ptrdiff_t> last(kPushers, -1);
      while (popped.load() < jobs.size()) {
        JobHeader* job = queue.pop();
        if (job == nullptr) continue;
        const std::ptrdiff_t id = job - jobs.data();
        seen[static_cast<std::size_t>(id)]++;
        const std::size_t pusher = static_cast<std::size_t>(id) / kPerPusher;
        if (id <= last[pusher]) order_ok = false;
        last[pusher] = id;
        popped++;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_TRUE(order_ok.load());
  for (std::size_t i = 0; i < jobs.size(); ++i) ASSERT_EQ(seen[i].load(), 1) << "job " << i;
  EXPECT_TRUE(queue.empty());
}

// One simulated worker of a SleepState, searching as a pool worker does: it looks for `job`
// (its whole search), and reports each fruitless search to the sleep state until the job
// appears or `latch` is set. `before_sleep` runs once, right after the search that follows
// the worker's sleepiness announcement, the last one before it would block.
class IdleWorker {
 public:
  IdleWorker(SleepState& sleep, std::size_t index, std::function<void()> before_sleep = {})
      : sleep_(sleep), index_(index), before_sleep_(std::move(before_sleep)),
        thread_([this] { run(); }) {}
  ~IdleWorker() {
    // Releases a worker that a failed test left blocked, so the thread can be joined.
    while (!done_.load()) {
      latch_.set();
      sleep_.wake(index_);
      std::this_thread::yield();
    }
    thread_.join();
  }
  std::atomic<bool> job{false};
  CoreLatch& latch() { return latch_; }
  // Whether the worker has left its search (job found or latch set).
  bool done() const { return done_.load(); }

 private:
  void run() {
    sleep_.wait_at_start(index_);
    IdleState idle;
    while (!latch_.probe() && !job.load()) {
      if (idle.sleepy_events != 0 && before_sleep_) {
        before_sleep_();
        before_sleep_ = nullptr;
      }
      sleep_.no_work_found(idle, latch_, index_);
    }
    sleep_.work_found();
    done_ = true;
  }
  SleepState& sleep_;
  const std::size_t index_;
  std::function<void()> before_sleep_;
  CoreLatch latch_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// Whether `done` holds within half a minute: a correct protocol needs microseconds, but a
// sanitizer on a loaded machine may hold a thread off the processor for seconds.
template <class Done>
bool soon(Done done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done())
    if (std::chrono::steady_clock::now() > deadline) return false;
  return true;
}

// A job pushed after a sleepy worker's last search, just before it blocks, stops it from
// blocking: the push moves the jobs-event count the worker rechecks.
TEST(SleepState, PushDuringTheLastSearchKeepsTheWorkerAwake) {
  SleepState sleep(1, 1);
  std::atomic<bool> searched{false}, pushed{false};
  IdleWorker worker(sleep, 0, [&] {
    searched = true;
    pushed.wait(false);
  });
  sleep.wake(0);  // out of its start-up sleep
  ASSERT_TRUE(soon([&] { return searched.load(); })) << "the worker never got sleepy";
  worker.job = true;
  sleep.new_jobs(false);
  pushed = true;
  pushed.notify_one();
  EXPECT_TRUE(soon([&] { return worker.done(); })) << "the worker fell asleep on a pushed job";
}

// Once every worker sleeps, a push wakes one; so does setting the latch a worker sleeps on.
TEST(SleepState, PushesAndLatchesWakeSleepers) {
  SleepState sleep(2, 2);
  EXPECT_EQ(sleep.sleeping(), 2u);  // workers start asleep
  IdleWorker first(sleep, 0), second(sleep, 1);
  sleep.wake(0);
  sleep.wake(1);
  ASSERT_TRUE(soon([&] { return sleep.sleeping() == 2; })) << "the workers never fell asleep";
  first.job = true;
  second.job = true;
  sleep.new_jobs(false);
  ASSERT_TRUE(soon([&] { return first.done() || second.done(); })) << "the push woke nobody";
  EXPECT_EQ(sleep.sleeping(), 1u);  // one push, one worker woken
  const std::size_t other = first.done() ? 1 : 0;
  IdleWorker& asleep = other == 0 ? first : second;
  asleep.job = false;
  if (asleep.latch().set()) sleep.wake(other);  // as the latch of a stolen job does
  EXPECT_TRUE(soon([&] { return asleep.done(); })) << "setting its latch did not wake the worker";
}

// With every CPU already busy, a push does not recruit another sleeper; it does when there
// is a free CPU, or when nobody is awake at all.
TEST(SleepState, PushesRecruitWorkersOnlyForFreeCpus) {
  for (const std::size_t cpus : {1u, 2u}) {
    SleepState sleep(3, cpus);
    sleep.new_jobs(false);  // nobody awake: always wakes one (here no thread takes it)
    EXPECT_EQ(sleep.sleeping(), 2u);
    sleep.work_found();  // the woken worker is busy now
    sleep.new_jobs(true);  // a queue backing up
    EXPECT_EQ(sleep.sleeping(), cpus == 1 ? 2u : 1u) << cpus << " CPUs";
  }
}

// A thread start that fails with EAGAIN from the third thread on.
std::atomic<int> g_starts{0};
int start_two_then_fail(pthread_t* thread, const pthread_attr_t* attr, void* (*entry)(void*),
                        void* arg) {
  if (g_starts.fetch_add(1) >= 2) return EAGAIN;
  return pthread_create(thread, attr, entry, arg);
}

std::size_t thread_count() {
  const std::filesystem::directory_iterator tasks("/proc/self/task");
  return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

// The count to compare with afterwards. The first thread a process creates may start a
// sanitizer's own helper thread, so one thread is started and joined first.
std::size_t thread_count_before() {
  std::thread([] {}).join();
  return thread_count();
}

TEST(WorkerPool, FailedThreadStartEndsTheStartedWorkers) {
  const std::size_t before = thread_count_before();
  std::string error;
  // Returns only after the two started workers have been joined.
  auto pool = WorkerPool::create(4, error, &start_two_then_fail);
  EXPECT_EQ(pool, nullptr);
  EXPECT_EQ(g_starts.load(), 3);
  EXPECT_EQ(thread_count(), before);
  EXPECT_NE(error.find("worker thread 2"), std::string::npos) << error;
  EXPECT_NE(error.find("(os error 11)"), std::string::npos) << error;
}

// A count past the kernel's bounds is refused, with its reason, before anything is made.
TEST(WorkerPool, CountTheKernelCannotAllowIsRefused) {
  if (!std::ifstream("/proc/sys/kernel/pid_max")) GTEST_SKIP() << "kernel.pid_max is unreadable";
  const int starts = g_starts.load();
  const std::size_t threads = SIZE_MAX / 2;
  std::string error;
  EXPECT_EQ(WorkerPool::create(threads, error, &start_two_then_fail), nullptr);
  EXPECT_EQ(g_starts.load(), starts);
  EXPECT_EQ(error.rfind("cannot start " + std::to_string(threads) + " worker threads: the kernel allows at most ", 0), 0u)
      << error;
  EXPECT_EQ(thread_count_refusal(2), "");
}

TEST(WorkerPool, PrivatePoolsHaveTheirSizeAndEndCleanly) {
  const std::size_t before = thread_count_before();
  for (std::size_t threads : {1u, 3u, 8u}) {
    std::string error;
    auto pool = WorkerPool::create(threads, error);
    ASSERT_NE(pool, nullptr) << error;
    EXPECT_EQ(pool->num_threads(), threads);
    EXPECT_EQ(thread_count(), before + threads);
  }
  EXPECT_EQ(thread_count(), before);
  std::string error;
  auto pool = WorkerPool::create(0, error);
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ(pool->num_threads(), 1u);
}

// The first request makes the pool with the environment's worker count and starts exactly
// those threads; later requests, even with another count in the environment, get the same.
TEST(WorkerPool, GlobalPoolIsCreatedOnceFromTheEnvironment) {
  const std::size_t before = thread_count_before();
  ::setenv("RAYON_NUM_THREADS", "+3", 1);
  WorkerPool& pool = global_pool();
  ::setenv("RAYON_NUM_THREADS", "5", 1);
  EXPECT_EQ(&pool, &global_pool());
  EXPECT_EQ(pool.num_threads(), 3u);
  EXPECT_EQ(thread_count(), before + 3);
  EXPECT_EQ(current_worker(), nullptr);
}

}  // namespace
}  // namespace quarvex::parallel
