// What differs between the plug-in's platforms: Linux (GCC, Clang) and the
// hosts' own, Windows (MSVC, MinGW-w64). The loader entry is platform.cpp.
#pragma once

// Marks `init_data_interface`, the library's one export.
// Linux: every object is built with hidden visibility, and exports.map keeps
// this symbol alone in the dynamic table. Windows: exports.def lists it and
// nothing else; nothing is marked dllexport (the contract header declares the
// function first, and an export added on a later declaration is not portable).
#if defined(_WIN32)
#define TELLIVAR_EXPORT
#else
#define TELLIVAR_EXPORT __attribute__((visibility("default")))
#endif

// Keeps a function out of line (so a hot caller stays short).
#if defined(_MSC_VER)
#define TELLIVAR_NOINLINE __declspec(noinline)
#else
#define TELLIVAR_NOINLINE __attribute__((noinline))
#endif

// Marks data that every feed callback reads. Linux: hidden, so code in other
// units reads it directly rather than through the global offset table.
// Windows: data inside a DLL is reached directly anyway.
#if defined(_WIN32)
#define TELLIVAR_HIDDEN
#else
#define TELLIVAR_HIDDEN __attribute__((visibility("hidden")))
#endif
