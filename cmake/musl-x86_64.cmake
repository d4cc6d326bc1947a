# Static Linux x86-64 program with musl (Debian's musl-tools and musl-dev).
# The program needs no loader and no shared library, so it runs on any x86-64
# Linux, however old its C library.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER x86_64-linux-gnu-g++)
set(KEMBU_MUSL_TRIPLET x86_64-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/musl-static.cmake)
