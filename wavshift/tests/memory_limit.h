// Test helper: runs a piece of a test in a child process whose address space
// may grow only by a given headroom, so that a test shows an operation works
// in bounded memory (it fails there when it needs more).
//
// Thread-safety: call it from the test's main thread; the child runs alone.
#pragma once

#include <cstddef>
#include <functional>

namespace ringwell::testing {

// Whether address-space limits can be used here (not under AddressSanitizer
// or ThreadSanitizer, which reserve vast address ranges up front).
bool MemoryLimitsUsable();

// Forks; the child may map at most `headroom` bytes more than it has at the
// fork, runs `body` and exits with 0 when it returned true, 1 otherwise.
// Returns that exit status (-1 when the child died of a signal).
int RunWithMemoryHeadroom(std::size_t headroom, const std::function<bool()>& body);

}  // namespace ringwell::testing
