#!/usr/bin/env bash
# Compiles every plug-in source for Windows with MinGW-w64, warnings as errors,
# against Debian's ACE headers configured for Win32. Object files only: there
# is no Windows build of ACE or of the feed client here to link against.
# First, the plug-in includes no system header but the Windows API's in its
# loader entry. Then reads the objects: with exports.def the DLL exports
# init_data_interface and nothing else, DllMain (the loader entry) is defined,
# and the feed client's instance is imported.
#
# Usage: scripts/mingw-check.sh [output folder]   (default build-ci-mingw)
set -euo pipefail
cd "$(dirname "$0")/.."
cxx=x86_64-w64-mingw32-g++-posix
tools=x86_64-w64-mingw32
out=${1:-build-ci-mingw}
rm -rf "$out/obj"
mkdir -p "$out/include/ace" "$out/obj"

# MinGW offers some POSIX headers MSVC lacks (unistd.h, pthread.h), so a
# compile alone misses them: the plug-in includes standard C++ headers, ACE's
# and its own, and platform.cpp alone the Windows API.
foreign=$(grep -Ho '^#include <[^>]*>' PluginManager/tellivar/*.h PluginManager/tellivar/*.cpp |
  grep -v -e '<ace/' -e '<[a-z_]*>$' -e '^PluginManager/tellivar/platform.cpp:#include <windows.h>$' || true)
if [ -n "$foreign" ]; then
  echo "Headers outside the standard library and ACE:" >&2
  echo "$foreign" >&2
  exit 1
fi

# ACE's own headers, with its Win32 configuration in place of Debian's Linux
# one: this folder is searched first, and /usr/include only after MinGW's own
# headers, so nothing but ace/ comes from it.
echo '#include "ace/config-win32.h"' >"$out/include/ace/config.h"
flags=(-std=c++17 -O2 -Wall -Wextra -Werror -I"$out/include" -I. -idirafter /usr/include)

# All at once (a few units); then each compiler's status in turn.
pids=()
for source in PluginManager/tellivar/*.cpp; do
  echo "$cxx -c $source"
  "$cxx" "${flags[@]}" -c "$source" -o "$out/obj/$(basename "$source" .cpp).o" &
  pids+=($!)
done
failed=0
for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
[ "$failed" -eq 0 ] || { echo "A plug-in source does not compile for Windows." >&2; exit 1; }

# Exports: exports.def lists init_data_interface alone, an object defines it
# under that plain name, and no object adds an export of its own (dllexport
# puts an -export: directive in the object's .drectve section).
listed=$(grep -v -e '^;' -e '^EXPORTS' PluginManager/tellivar/exports.def | xargs)
added=$(for object in "$out"/obj/*.o; do
  "$tools-objcopy" -O binary --only-section=.drectve "$object" /dev/stdout | tr '\0 ' '\n\n'
done | sed -n 's/^-export:"\{0,1\}\([^",]*\).*/\1/p' | sort -u | xargs)
symbols=$("$tools-nm" --defined-only "$out"/obj/*.o)
if [ "$listed" != init_data_interface ] || [ -n "$added" ] || ! grep -q ' T init_data_interface$' <<<"$symbols"; then
  echo "exports.def lists: ${listed:-nothing}; objects export: ${added:-nothing} (init_data_interface" \
       "alone is wanted, listed in exports.def and defined by an object)." >&2
  exit 1
fi
if ! grep -q ' T DllMain$' <<<"$symbols"; then
  echo "No object defines the loader entry DllMain." >&2
  exit 1
fi
# The feed client's instance is data in its DLL: reached through an import.
undefined=$("$tools-nm" --undefined-only "$out"/obj/*.o)
if ! grep -q ' U __imp_pTellivarClient$' <<<"$undefined"; then
  echo "The plug-in does not import pTellivarClient from the feed client's DLL." >&2
  exit 1
fi
echo "All plug-in sources compile for Windows; the DLL exports init_data_interface alone," \
     "has its DllMain and imports pTellivarClient."
