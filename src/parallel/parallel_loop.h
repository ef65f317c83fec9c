// Parallel loops over an index range [0, n).
//
// PLACEHOLDER: sequential bodies with the final signatures; the worker pool replaces them.
#pragma once

#include <cstddef>
#include <string>
#include <utility>

#include "fault.h"
#include "parallel/pod_vector.h"

namespace quarvex::parallel {

// The pool's thread count T; the first call creates the pool.
inline std::size_t current_num_threads() { return 1; }

// fold(begin, end) -> R over a piece; combine(R&& left, R&& right) -> R, left before right.
template <class R, class Fold, class Combine>
R parallel_fold(std::size_t n, Fold&& fold, Combine&& combine) {
  (void)combine;
  return fold(std::size_t{0}, n);
}

// body(begin, end) over every piece; no result.
template <class Body>
void parallel_for(std::size_t n, Body&& body) {
  body(std::size_t{0}, n);
}

// Appends make(i) for i in [0, n) to `out`, each at its own index.
template <class T, class Make>
void collect_into(PodVector<T>& out, std::size_t n, Make&& make) {
  const std::size_t start = out.size();
  out.resize(start + n);
  for (std::size_t i = 0; i < n; ++i) out[start + i] = make(i);
}

// Appends make(i).first to `a` and make(i).second to `b` for i in [0, n), in one loop.
template <class A, class B, class Make>
void collect_unzip_into(PodVector<A>& a, PodVector<B>& b, std::size_t n, Make&& make) {
  const std::size_t sa = a.size(), sb = b.size();
  a.resize(sa + n);
  b.resize(sb + n);
  for (std::size_t i = 0; i < n; ++i) {
    auto pair = make(i);
    a[sa + i] = pair.first;
    b[sb + i] = pair.second;
  }
}

}  // namespace quarvex::parallel
