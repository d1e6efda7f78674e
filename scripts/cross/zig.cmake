# Cross-compiles with zig's clang and libc++ against an old glibc, so that the
# module loads on every Linux from that glibc on. The target comes from the
# environment, as the compiler wrappers beside this file read it:
#   QBO_ZIG_TARGET  x86_64-linux-gnu.2.17 or aarch64-linux-gnu.2.17
#   QBO_ZIG_PYTHON  an interpreter with the index's `ziglang` package
# Boost and the Python headers come from include trees of their own
# (QBO_BOOST_INCLUDE_DIR, QBO_PYTHON_INCLUDE_DIR): the host's /usr/include holds
# glibc headers of a newer version, which would undo the target.
if(NOT DEFINED ENV{QBO_ZIG_TARGET} OR NOT DEFINED ENV{QBO_ZIG_PYTHON})
  message(FATAL_ERROR "set QBO_ZIG_TARGET and QBO_ZIG_PYTHON (make wheels does)")
endif()
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR "$ENV{QBO_ZIG_TARGET}")
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER "${CMAKE_CURRENT_LIST_DIR}/zig-cc")
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/zig-c++")
# zig's linker takes no --dependency-file.
set(CMAKE_LINK_DEPENDS_USE_LINKER OFF)
# Nothing of the build machine's: headers and libraries only from the trees given.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The C library's string functions, not the compiler runtime's (see the header).
# clang's default inlining leaves libc++'s string appends and the record readers
# as calls, measured 12-17 % slower than the g++ build; a higher threshold makes
# it inline about as much as g++ does.
set(CMAKE_CXX_FLAGS_INIT
  "-include ${CMAKE_CURRENT_LIST_DIR}/glibc-strings.h -mllvm -inline-threshold=1000")
set(CMAKE_C_FLAGS_INIT "-include ${CMAKE_CURRENT_LIST_DIR}/glibc-strings.h")
