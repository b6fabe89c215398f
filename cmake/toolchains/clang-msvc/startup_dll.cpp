// SPDX-License-Identifier: MIT
// A DLL's entry point, as the Visual C++ runtime provides it: it hands the
// loader's call straight to the DLL's own DllMain. The DLLs built here have no
// static constructors, and a library that had some would fail its tests.
typedef void* Module;

extern "C" int __stdcall DllMain(Module module, unsigned long reason, void* reserved);

extern "C" int __stdcall _DllMainCRTStartup(Module module, unsigned long reason, void* reserved) {
  return DllMain(module, reason, reserved);
}
