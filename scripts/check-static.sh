#!/usr/bin/env bash
# Static analysis of the tool's own code (src/): clang-tidy with the checks in
# .clang-tidy and cppcheck with .cppcheck-suppressions. The Linux files are
# analysed with the flags of a real build (compile_commands.json); the Windows
# platform file with the mingw-w64 targets and headers. Exits non-zero on any
# finding. Usage: bash scripts/check-static.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
ensure_packages cmake make clang clang-tidy cppcheck g++-mingw-w64-x86-64-posix
root=$PWD
build=build/static
status=0

# Only the compile database is needed, so the tests are left out.
cmake -S . -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DKEMBU_BUILD_TESTS=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null

windows_file=src/io/io_win32.cc
mapfile -t linux_files < <(find src -name '*.cc' ! -path "$windows_file" | sort)
# A file the Linux build does not compile would escape the analysis.
for file in "${linux_files[@]}"; do
  if ! grep -q "\"file\": \"$root/$file\"" "$build/compile_commands.json"; then
    echo "check-static: $file is not in the Linux build; analyse it here" >&2
    status=1
  fi
done

echo "== clang-tidy (Linux)"
clang-tidy --quiet -p "$build" "${linux_files[@]}" 2> >(grep -v "warnings generated" >&2) || status=1

# The mingw targets, with the cross compiler's own header directories.
# memset and memcpy must keep the C library's signatures and the parameter
# names of its declarations are reserved ones, so the two checks about
# parameters are off for this file alone.
for triple in x86_64-w64-mingw32 i686-w64-mingw32; do
  compiler=$triple-g++-posix
  command -v "$compiler" >/dev/null || { echo "== clang-tidy ($triple): no $compiler, skipped"; continue; }
  mapfile -t cxx_includes < <("$compiler" -xc++ -E -v /dev/null 2>&1 |
    sed -n '/<...> search starts/,/End of search/p' | grep '^ .*/c++' | sed 's/^ /-isystem/')
  echo "== clang-tidy ($triple)"
  clang-tidy --quiet "$windows_file" \
    --checks=-bugprone-easily-swappable-parameters,-readability-inconsistent-declaration-parameter-name \
    -- --target=$triple --sysroot=/usr/$triple "${cxx_includes[@]}" \
    -std=c++17 -Isrc -fno-exceptions -fno-rtti 2> >(grep -v "warnings generated" >&2) || status=1
done

cppcheck_args=(--enable=warning,style,performance,portability --error-exitcode=1 --inline-suppr
  --suppressions-list=.cppcheck-suppressions --std=c++17 --language=c++ -q -Isrc)
echo "== cppcheck (Linux)"
cppcheck "${cppcheck_args[@]}" --library=posix -U_WIN32 "${linux_files[@]}" || status=1
echo "== cppcheck (Windows)"
cppcheck "${cppcheck_args[@]}" --library=windows --platform=win64 -D_WIN32 -D_WIN64 "$windows_file" || status=1
cppcheck "${cppcheck_args[@]}" --library=windows --platform=win32A -D_WIN32 "$windows_file" || status=1

if [ "$status" != 0 ]; then echo "check-static: FINDINGS (see above)" >&2; fi
exit "$status"
