// Parallel loops over an index range [0, n) on a WorkerPool.
//
// A loop cuts the range by repeated halving and runs the halves through fork-join; the split
// budget starts at T (the pool's thread count) and halves at every level, a piece that
// migrated to another thread resets it to max(T, budget / 2), and no piece is shorter than 1.
// Partial results are combined left before right, so any result that does not depend on the
// grouping is the same for every cut and thread count. A loop over n <= 1 runs on the caller
// (the pool is still created), and so does every loop, as one piece, while the calling
// thread's InlineScope is engaged (inline_scope.h).
//
// The collect loops write item i into slot start + i of a pre-sized output, each piece into
// its own window, without locking; the writes reach the caller through the joins' latches
// (fork_join.h), whose orders hold on weakly ordered processors too. A fault inside any piece
// is rethrown on the calling thread once the whole loop has finished; the outputs then keep
// their old lengths.
//
// The public functions use the process-wide pool; the *_in variants take a pool explicitly.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <type_traits>
#include <utility>

#include "support/fault.h"
#include "support/pod_vector.h"
#include "parallel/fork_join.h"
#include "parallel/inline_scope.h"

namespace quarvex::parallel {

// The pool's thread count T; the first call creates the pool.
inline std::size_t current_num_threads() { return global_pool().num_threads(); }

namespace loop_detail {

struct Splitter {
  std::size_t threads;
  std::size_t budget;

  bool try_split(std::size_t len, bool migrated) noexcept {
    if (len / 2 < 1) return false;  // minimum piece length 1
    if (migrated) {
      budget = std::max(threads, budget / 2);
      return true;
    }
    if (budget > 0) {
      budget /= 2;
      return true;
    }
    return false;
  }
};

// A consumer describes what a piece does. Required members:
//   using Result = ...;
//   std::pair<Consumer, Consumer> split_at(std::size_t mid) const;   // mid counted in the piece
//   Result fold(std::size_t begin, std::size_t end);                 // loop indices
//   Result combine(Result&& left, Result&& right);
template <class Consumer>
typename Consumer::Result run_piece(WorkerPool& pool, WorkerThread* worker, std::size_t begin,
                                    std::size_t len, bool migrated, Splitter splitter,
                                    Consumer& consumer) {
  if (!splitter.try_split(len, migrated)) return consumer.fold(begin, begin + len);
  const std::size_t mid = len / 2;
  auto halves = consumer.split_at(mid);
  auto left = [&](WorkerThread& w, bool m) {
    return run_piece(pool, &w, begin, mid, m, splitter, halves.first);
  };
  auto right = [&](WorkerThread& w, bool m) {
    return run_piece(pool, &w, begin + mid, len - mid, m, splitter, halves.second);
  };
  auto results = join(pool, worker, left, right);
  return consumer.combine(std::move(results.first), std::move(results.second));
}

template <class Consumer>
typename Consumer::Result bridge(WorkerPool& pool, std::size_t n, Consumer& consumer) {
  const std::size_t threads = pool.num_threads();
  if (InlineScope::active()) return consumer.fold(0, n);  // no worker woken: inline_scope.h
  return run_piece(pool, worker_of(pool), 0, n, false, Splitter{threads, threads}, consumer);
}

template <class R, class Fold, class Combine>
struct FoldConsumer {
  using Result = R;
  Fold* fold_fn;
  Combine* combine_fn;
  std::pair<FoldConsumer, FoldConsumer> split_at(std::size_t) const { return {*this, *this}; }
  R fold(std::size_t begin, std::size_t end) { return (*fold_fn)(begin, end); }
  R combine(R&& left, R&& right) { return (*combine_fn)(std::move(left), std::move(right)); }
};

// What a piece of a collect loop wrote: `written` items from `start`, inside a window of
// `window` slots.
template <class T>
struct Written {
  T* start;
  std::size_t window;
  std::size_t written;
};

// Adjacent written ranges merge; otherwise the left stands alone and the right is dropped.
template <class T>
Written<T> join_written(Written<T> left, Written<T> right) noexcept {
  if (left.start + left.written == right.start) {
    left.window += right.window;
    left.written += right.written;
  }
  return left;
}

// Splits a window at `mid`.
template <class T>
std::pair<T*, T*> split_window(T* start, std::size_t len, std::size_t mid) {
  if (mid > len) fault("mid > len");
  return {start, start + mid};
}

// Stores one item into the next slot of a window.
template <class T, class V>
void push_item(Written<T>& w, V&& value) {
  if (w.written >= w.window) fault("too many values pushed to consumer");
  w.start[w.written] = std::forward<V>(value);
  ++w.written;
}

template <class T, class Make>
struct CollectConsumer {
  using Result = Written<T>;
  T* start;
  std::size_t len;
  Make* make;

  std::pair<CollectConsumer, CollectConsumer> split_at(std::size_t mid) const {
    const auto [l, r] = split_window(start, len, mid);
    return {CollectConsumer{l, mid, make}, CollectConsumer{r, len - mid, make}};
  }
  Result fold(std::size_t begin, std::size_t end) {
    Result out{start, len, 0};
    for (std::size_t i = begin; i < end; ++i) push_item(out, (*make)(i));
    return out;
  }
  Result combine(Result&& left, Result&& right) { return join_written(left, right); }
};

template <class A, class B>
struct UnzipWritten {
  Written<A> a;
  Written<B> b;
};

template <class A, class B, class Make>
struct UnzipConsumer {
  using Result = UnzipWritten<A, B>;
  A* start_a;
  B* start_b;
  std::size_t len;
  Make* make;

  std::pair<UnzipConsumer, UnzipConsumer> split_at(std::size_t mid) const {
    const auto [la, ra] = split_window(start_a, len, mid);
    const auto [lb, rb] = split_window(start_b, len, mid);
    return {UnzipConsumer{la, lb, mid, make}, UnzipConsumer{ra, rb, len - mid, make}};
  }
  Result fold(std::size_t begin, std::size_t end) {
    Result out{{start_a, len, 0}, {start_b, len, 0}};
    for (std::size_t i = begin; i < end; ++i) {
      auto item = (*make)(i);
      push_item(out.a, std::move(item.first));
      push_item(out.b, std::move(item.second));
    }
    return out;
  }
  Result combine(Result&& left, Result&& right) {
    return {join_written(left.a, right.a), join_written(left.b, right.b)};
  }
};

// Makes room for n slots behind the current length and returns the old length.
template <class T>
std::size_t open_window(PodVector<T>& out, std::size_t n) {
  const std::size_t start = out.size();
  out.reserve(start + n);
  if (out.capacity() - start < n) fault("assertion failed: vec.capacity() - start >= len");
  out.resize_uninitialized(start + n);  // no element initialisation: every slot is written by the loop
  return start;
}

inline void check_writes(std::size_t expected, std::size_t written) {
  if (written != expected)
    fault("expected " + std::to_string(expected) + " total writes, but got " +
          std::to_string(written));
}

}  // namespace loop_detail

// fold(begin, end) -> R over a piece; combine(R&& left, R&& right) -> R, left before right.
template <class R, class Fold, class Combine>
R parallel_fold_in(WorkerPool& pool, std::size_t n, Fold&& fold, Combine&& combine) {
  using F = std::remove_reference_t<Fold>;
  using C = std::remove_reference_t<Combine>;
  loop_detail::FoldConsumer<R, F, C> consumer{&fold, &combine};
  return loop_detail::bridge(pool, n, consumer);
}

template <class R, class Fold, class Combine>
R parallel_fold(std::size_t n, Fold&& fold, Combine&& combine) {
  return parallel_fold_in<R>(global_pool(), n, std::forward<Fold>(fold),
                             std::forward<Combine>(combine));
}

// body(begin, end) over every piece; no result.
template <class Body>
void parallel_for_in(WorkerPool& pool, std::size_t n, Body&& body) {
  struct Done {};
  parallel_fold_in<Done>(
      pool, n,
      [&body](std::size_t begin, std::size_t end) {
        body(begin, end);
        return Done{};
      },
      [](Done&&, Done&&) { return Done{}; });
}

template <class Body>
void parallel_for(std::size_t n, Body&& body) {
  parallel_for_in(global_pool(), n, std::forward<Body>(body));
}

// Appends make(i) for i in [0, n) to `out`, each at its own index.
template <class T, class Make>
void collect_into_in(WorkerPool& pool, PodVector<T>& out, std::size_t n, Make&& make) {
  const std::size_t start = loop_detail::open_window(out, n);
  using M = std::remove_reference_t<Make>;
  loop_detail::CollectConsumer<T, M> consumer{out.data() + start, n, &make};
  loop_detail::Written<T> written{};
  try {
    written = loop_detail::bridge(pool, n, consumer);
    loop_detail::check_writes(n, written.written);
  } catch (...) {
    out.resize_uninitialized(start);
    throw;
  }
}

template <class T, class Make>
void collect_into(PodVector<T>& out, std::size_t n, Make&& make) {
  collect_into_in(global_pool(), out, n, std::forward<Make>(make));
}

// Appends make(i).first to `a` and make(i).second to `b` for i in [0, n), in one loop.
template <class A, class B, class Make>
void collect_unzip_into_in(WorkerPool& pool, PodVector<A>& a, PodVector<B>& b, std::size_t n,
                           Make&& make) {
  const std::size_t start_a = loop_detail::open_window(a, n);
  std::size_t start_b;
  try {
    start_b = loop_detail::open_window(b, n);
  } catch (...) {
    a.resize_uninitialized(start_a);
    throw;
  }
  using M = std::remove_reference_t<Make>;
  loop_detail::UnzipConsumer<A, B, M> consumer{a.data() + start_a, b.data() + start_b, n, &make};
  try {
    const auto written = loop_detail::bridge(pool, n, consumer);
    // The second array is settled first, then the first.
    loop_detail::check_writes(n, written.b.written);
    loop_detail::check_writes(n, written.a.written);
  } catch (...) {
    a.resize_uninitialized(start_a);
    b.resize_uninitialized(start_b);
    throw;
  }
}

template <class A, class B, class Make>
void collect_unzip_into(PodVector<A>& a, PodVector<B>& b, std::size_t n, Make&& make) {
  collect_unzip_into_in(global_pool(), a, b, n, std::forward<Make>(make));
}

}  // namespace quarvex::parallel
