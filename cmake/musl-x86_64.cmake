# Static Linux x86-64 program with musl (Debian's musl-tools and musl-dev):
# Debian's gcc with musl's specs file, which swaps in musl's headers, start
# files and C library. The program needs no loader and no shared library, so
# it runs on any x86-64 Linux, however old its C library.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER x86_64-linux-gnu-g++)
set(KEMBU_MUSL_SPECS /usr/lib/x86_64-linux-musl/musl-gcc.specs)
set(CMAKE_C_FLAGS_INIT "-specs ${KEMBU_MUSL_SPECS}")
set(CMAKE_CXX_FLAGS_INIT "-specs ${KEMBU_MUSL_SPECS}")
# Stripped here, as the Windows programs are: the file built is the one shipped.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -s")
set(CMAKE_FIND_ROOT_PATH /usr/lib/x86_64-linux-musl)
# Packages of a static program depend on no C library (cmake/packaging.cmake).
set(KEMBU_STATIC_LINUX ON)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
