// The plug-in's loader entry.
//
// Windows: the loader calls DllMain when the DLL is attached to or detached
// from the process, and by default also whenever a thread starts or ends. The
// plug-in keeps no per-thread state, so it turns the thread notifications off
// on process attach; DllMain does nothing else (the loader lock is held).
// Linux: no entry is needed; the C++ runtime builds and destroys the static
// objects on dlopen and dlclose.
#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    return TRUE;
}
#endif
