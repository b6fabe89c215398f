// SPDX-License-Identifier: MIT
// operator new and delete over the system msvcrt.dll's heap, for programs and
// DLLs built with the MSVC-mode stand-in (see startup.cpp). Failure aborts:
// this runtime has no exceptions.
#include <stddef.h>
#include <stdlib.h>

void* __cdecl operator new(size_t size) {
  void* block = malloc(size != 0 ? size : 1);
  if (block == 0) {
    abort();
  }
  return block;
}
void* __cdecl operator new[](size_t size) { return operator new(size); }
void __cdecl operator delete(void* block) noexcept { free(block); }
void __cdecl operator delete[](void* block) noexcept { free(block); }
void __cdecl operator delete(void* block, size_t) noexcept { free(block); }
void __cdecl operator delete[](void* block, size_t) noexcept { free(block); }

// What the compiler calls when a noexcept function would let an exception
// escape; nothing here throws, so it is never reached in practice.
extern "C" void __cdecl __std_terminate() { abort(); }
