// Turns a hang into a prompt, named failure: a lost wake-up leaves threads blocked for good,
// and the test would otherwise end only at the test runner's much later timeout.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace quarvex::testing {

// Aborts the process when the scope it guards has not ended within `limit`.
class Watchdog {
 public:
  explicit Watchdog(const char* what, std::chrono::seconds limit = std::chrono::seconds(60))
      : what_(what), limit_(limit), thread_([this] { run(); }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    cv_.notify_one();
    thread_.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, limit_, [this] { return done_; })) {
      std::fprintf(stderr, "watchdog: %s did not finish within %lld s (lost wake-up?)\n", what_,
                   static_cast<long long>(limit_.count()));
      std::abort();
    }
  }
  const char* what_;
  const std::chrono::seconds limit_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;  // last: starts once the members above exist
};

}  // namespace quarvex::testing
