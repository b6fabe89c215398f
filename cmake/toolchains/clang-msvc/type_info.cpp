// SPDX-License-Identifier: MIT
// The vtable of type_info, which Visual C++'s runtime links into every
// program statically and msvcrt.dll does not export. The type descriptors of
// classes with run-time type information point at it; dynamic_cast (msvcrt's
// __RTDynamicCast) only compares descriptors, and no type_info is ever
// destroyed through it here.
#include <stdlib.h>

namespace {
void __cdecl TypeInfoDestroyed() { abort(); }
}  // namespace

extern "C" void* const velkorTypeInfoVftable[1] __asm__("??_7type_info@@6B@") = {
    reinterpret_cast<void*>(&TypeInfoDestroyed)};
