// SPDX-License-Identifier: MIT
// The console entry point that Visual C++'s runtime would give programs built
// with the MSVC-mode stand-in, over the system msvcrt.dll: arguments, static
// constructors, exit. Built by the toolchain into velkor_startup.lib.
#include <stdlib.h>

extern "C" int main(int argc, char** argv);

namespace {

typedef void(__cdecl* Initializer)();

struct StartupInfo {
  int newMode;
};

}  // namespace

extern "C" int __cdecl __getmainargs(int* argc, char*** argv, char*** env, int expandWildcards,
                                     StartupInfo* info);
extern "C" void __cdecl _initterm(Initializer* first, Initializer* last);

// The compiler puts a pointer to each static constructor into .CRT$XCU; the
// linker sorts the sections by name, so these two bracket them.
#pragma section(".CRT$XCA", read)
#pragma section(".CRT$XCZ", read)
__declspec(allocate(".CRT$XCA")) static Initializer firstInitializer[] = {0};
__declspec(allocate(".CRT$XCZ")) static Initializer lastInitializer[] = {0};

extern "C" void __cdecl mainCRTStartup() {
  int argc = 0;
  char** argv = 0;
  char** env = 0;
  StartupInfo info = {0};
  __getmainargs(&argc, &argv, &env, 0, &info);
  _initterm(firstInitializer, lastInitializer);
  exit(main(argc, argv));  // msvcrt runs atexit handlers and flushes stdio
}
