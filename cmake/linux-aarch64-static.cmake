# Static Linux arm64 program: Debian's aarch64 cross compiler with musl built
# for arm64 (musl-dev:arm64, a multiarch package), through musl's specs file.
# The same C library as the x86-64 static program, so the same start-up and
# the same system calls, in a file of a few dozen KiB.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(KEMBU_MUSL_SPECS /usr/lib/aarch64-linux-musl/musl-gcc.specs)
set(CMAKE_C_FLAGS_INIT "-specs ${KEMBU_MUSL_SPECS}")
set(CMAKE_CXX_FLAGS_INIT "-specs ${KEMBU_MUSL_SPECS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -s")
set(CMAKE_FIND_ROOT_PATH /usr/lib/aarch64-linux-musl)
# Packages of a static program depend on no C library (cmake/packaging.cmake).
set(KEMBU_STATIC_LINUX ON)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# qemu-user runs the tests and checks of this build on an x86-64 host.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
