# Static Linux arm64 program: Debian's aarch64 cross compiler with musl built
# for arm64 (musl-dev:arm64, a multiarch package). The same C library as the
# x86-64 static program, so the same start-up and the same system calls, in a
# file of a few dozen KiB.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(KEMBU_MUSL_TRIPLET aarch64-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/musl-static.cmake)
# qemu-user runs the tests and checks of this build on an x86-64 host.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
