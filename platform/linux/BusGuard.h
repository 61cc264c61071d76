// Accesses to shared blocks that survive the block being cut short.
//
// A block mapped from a named object raises SIGBUS on any page past the
// object's current end, and every process allowed to write the object may
// also truncate it. An access run through guardedAccess() that faults jumps
// back out instead, and guardedAccess() returns false.
//
// Any SIGBUS the kernel raises on a thread inside a guarded access is taken
// as the access's own: the access touches shared bytes and the caller's
// buffers only. The fault's address is not compared with the block, since
// emulators misreport it (qemu-user 7.2, which runs the 32-bit build on
// x86_64-only kernels, reports it a page past the true one).
//
// The process-wide SIGBUS handler is installed once, by installBusGuard()
// (CPSharedMemory's constructor calls it). A fault outside a guarded access
// goes to the handler the process had before, else to the default action: the
// process ends as it would have without the guard. A host that installs a
// SIGBUS handler of its own afterwards must chain to the one it replaces, or
// faults in guarded accesses end the process again.
//
// Guards are per thread and may nest. Implemented in SharedMemory.cpp.
#pragma once

#include <setjmp.h>

#include <atomic>

namespace evt::platform {

struct BusGuardFrame {
  sigjmp_buf jump;
  BusGuardFrame* outer;
};

// The innermost guarded access of this thread; null outside any. Initial-exec
// so that the handler reads it without the allocation a first access to
// dynamic thread storage may make.
extern thread_local BusGuardFrame* t_busGuardFrame __attribute__((tls_model("initial-exec")));

// Installs the handler unless done already; thread-safe.
void installBusGuard();

// Runs access(), which may touch shared blocks and memory of the caller's.
// False when that raised SIGBUS. The signal mask is not saved or restored
// (no system call): the handler runs with SIGBUS unblocked. access() must
// create no object with a destructor and take no lock, since a fault skips
// the rest of it.
template <typename Access>
bool guardedAccess(Access&& access) {
  BusGuardFrame frame;
  frame.outer = t_busGuardFrame;
  if (sigsetjmp(frame.jump, 0) != 0) return false;  // the handler restored the outer frame
  t_busGuardFrame = &frame;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  access();
  std::atomic_signal_fence(std::memory_order_seq_cst);
  t_busGuardFrame = frame.outer;
  return true;
}

}  // namespace evt::platform
