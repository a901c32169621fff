#include "allocation_counter.hpp"

#include <cstdlib>
#include <new>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* pointer);
}

namespace {

// Constant-initialised, so touching them never allocates.
thread_local bool counting = false;
thread_local std::size_t allocations = 0;

void note() {
  if (counting) ++allocations;
}

void* allocate(std::size_t size) {
  note();
  void* p = __libc_malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void* allocate_aligned(std::size_t size, std::align_val_t alignment) {
  note();
  void* p = __libc_memalign(static_cast<std::size_t>(alignment), size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

namespace allocation_counter {

std::size_t count() { return allocations; }
void reset() { allocations = 0; }
CountingScope::CountingScope() { counting = true; }
CountingScope::~CountingScope() { counting = false; }

}  // namespace allocation_counter

extern "C" {

void* malloc(std::size_t size) {
  note();
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
  note();
  return __libc_calloc(count, size);
}
void* realloc(void* pointer, std::size_t size) {
  note();
  return __libc_realloc(pointer, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) {
  note();
  return __libc_memalign(alignment, size);
}
void* memalign(std::size_t alignment, std::size_t size) {
  note();
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
  note();
  void* p = __libc_memalign(alignment, size);
  if (p == nullptr) return 12;  // ENOMEM
  *out = p;
  return 0;
}
void free(void* pointer) { __libc_free(pointer); }

}  // extern "C"

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, std::align_val_t alignment) { return allocate_aligned(size, alignment); }
void* operator new[](std::size_t size, std::align_val_t alignment) { return allocate_aligned(size, alignment); }
void operator delete(void* pointer) noexcept { __libc_free(pointer); }
void operator delete[](void* pointer) noexcept { __libc_free(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { __libc_free(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { __libc_free(pointer); }
void operator delete(void* pointer, std::align_val_t) noexcept { __libc_free(pointer); }
void operator delete[](void* pointer, std::align_val_t) noexcept { __libc_free(pointer); }
void operator delete(void* pointer, std::size_t, std::align_val_t) noexcept { __libc_free(pointer); }
void operator delete[](void* pointer, std::size_t, std::align_val_t) noexcept { __libc_free(pointer); }
