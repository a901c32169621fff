// Counts heap allocations made by the current thread while a scope is open.
// The binary that includes allocation_counter.cpp replaces malloc, calloc,
// realloc, the aligned allocators and the global operator new.
#pragma once

#include <cstddef>

namespace allocation_counter {

// Allocations (not frees) counted on this thread since the last reset.
std::size_t count();
void reset();

class CountingScope {
 public:
  CountingScope();
  ~CountingScope();
  CountingScope(const CountingScope&) = delete;
  CountingScope& operator=(const CountingScope&) = delete;
};

}  // namespace allocation_counter
