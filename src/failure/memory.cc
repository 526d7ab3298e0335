// The program's allocator: memory that cannot be had becomes the single
// EOutOfMemory failure, raised at the allocating call.
#include <new>

#include "platform/platform.h"
#include "failure/lifecycle.h"

namespace {

__attribute__((noinline)) void* allocate(std::size_t size, const void* caller) {
  void* block = tarnwick::platform::allocate(size == 0 ? 1 : size);
  if (block == nullptr) tarnwick::runtime_error(tarnwick::RuntimeCondition::kOutOfMemory, caller);
  return block;
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size, __builtin_return_address(0)); }
void* operator new[](std::size_t size) { return allocate(size, __builtin_return_address(0)); }
void operator delete(void* block) noexcept { tarnwick::platform::release(block); }
void operator delete[](void* block) noexcept { tarnwick::platform::release(block); }
void operator delete(void* block, std::size_t) noexcept { tarnwick::platform::release(block); }
void operator delete[](void* block, std::size_t) noexcept { tarnwick::platform::release(block); }
