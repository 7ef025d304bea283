# The product built by a second compiler: Debian's clang and lld for the same
# MinGW target, on the MinGW-w64 headers and the posix gcc runtime libraries.
# Used to keep the sources clean under two compilers; the shipped DLL is the
# gcc build.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QUENTRA_TRIPLE i686-w64-mingw32)
set(QUENTRA_GCC_LIBDIR /usr/lib/gcc/${QUENTRA_TRIPLE}/12-posix)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${QUENTRA_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${QUENTRA_TRIPLE})
set(CMAKE_RC_COMPILER ${QUENTRA_TRIPLE}-windres)
set(CMAKE_SYSROOT_COMPILE /usr/${QUENTRA_TRIPLE})
set(CMAKE_CXX_FLAGS_INIT "-isystem ${QUENTRA_GCC_LIBDIR}/include/c++ -isystem ${QUENTRA_GCC_LIBDIR}/include/c++/${QUENTRA_TRIPLE}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -L${QUENTRA_GCC_LIBDIR}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld -L${QUENTRA_GCC_LIBDIR}")
set(CMAKE_FIND_ROOT_PATH /usr/${QUENTRA_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# gcc's posix driver adds winpthread by itself; clang's does not.
set(CMAKE_CXX_STANDARD_LIBRARIES "-lpthread")
set(CMAKE_C_STANDARD_LIBRARIES "-lpthread")
