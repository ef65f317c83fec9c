// A std::vector whose resize() leaves new trivially constructible elements uninitialised.
//
// The parallel collect loops reserve their full output length first and then let every
// piece write its own slots; zero-filling those slots beforehand would only cost a pass
// over memory that is overwritten anyway.
#pragma once

#include <memory>
#include <type_traits>
#include <vector>

namespace quarvex {

template <class T>
struct DefaultInitAllocator : std::allocator<T> {
  using value_type = T;
  template <class U>
  struct rebind {
    using other = DefaultInitAllocator<U>;
  };
  DefaultInitAllocator() noexcept = default;
  template <class U>
  DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}

  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;  // default-init: no zeroing for trivial types
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    std::allocator_traits<std::allocator<T>>::construct(static_cast<std::allocator<T>&>(*this), p,
                                                        std::forward<Args>(args)...);
  }
};

template <class T>
using PodVector = std::vector<T, DefaultInitAllocator<T>>;

}  // namespace quarvex
