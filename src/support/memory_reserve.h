// An emergency reserve of heap memory, given back just before std::bad_alloc is thrown so
// that the C++ runtime finds memory for the exception object itself.
//
// Why: the portable wheels link libc++abi into the module. It takes a thrown exception's
// memory from malloc and, when that fails, from a 512-byte area shared by all threads, and
// terminates the process when both fail. Workers that run out of memory at once each have
// an exception in flight until their job catches it (parallel/fork_join.h then keeps only a
// flag, and each join throws one afresh), and with malloc failing those share the 512 bytes.
// (libstdc++ has an emergency pool of tens of KiB; there the reserve is merely harmless.)
//
// Shared state: one reserve block per process behind an atomic pointer.
// `renew_memory_reserve` (the calling thread, at the start of a call) fills it when empty;
// `throw_out_of_memory` (any thread) takes it with an exchange, so exactly one thread frees
// a given block. Both are sequentially consistent read-modify-writes, so the thread that
// frees a block has synchronized with the one that allocated it; the relaxed load in
// `renew_memory_reserve` only saves an allocation when the block is there. The block is malloc'd below the mmap threshold, so freeing it leaves the
// room in the heap, where malloc's retry in another arena finds it.
#pragma once

namespace quarvex {

// Allocates the reserve if it is not held; quietly does nothing when memory is short.
void renew_memory_reserve() noexcept;

// Releases the reserve (if held) and throws std::bad_alloc. Every out-of-memory throw of the
// module goes through here.
[[noreturn]] void throw_out_of_memory();

// Where the C++ runtime is private to the module (the wheels), makes operator new fail
// through throw_out_of_memory as well. A shared runtime's new handler belongs to the whole
// process and is left alone.
void install_out_of_memory_handler() noexcept;

}  // namespace quarvex
