# Shared by the static Linux toolchain files, which set KEMBU_MUSL_TRIPLET
# first: Debian's gcc with musl's specs file, which swaps in musl's headers,
# start files and C library, and a static, stripped link (the file built is
# the one shipped, as for the Windows programs).
set(CMAKE_SYSTEM_NAME Linux)
set(KEMBU_MUSL_SPECS /usr/lib/${KEMBU_MUSL_TRIPLET}/musl-gcc.specs)
set(CMAKE_C_FLAGS_INIT "-specs ${KEMBU_MUSL_SPECS}")
set(CMAKE_CXX_FLAGS_INIT "-specs ${KEMBU_MUSL_SPECS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -s")
set(CMAKE_FIND_ROOT_PATH /usr/lib/${KEMBU_MUSL_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Packages of a static program depend on no C library (cmake/packaging.cmake).
set(KEMBU_STATIC_LINUX ON)
