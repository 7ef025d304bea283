# Shared by both MinGW toolchain files. The -posix compilers are used because
# the win32 thread model has no std::mutex and GoogleTest needs it. With
# -static, the tools and tests link the winpthread runtime in, so nothing but
# Windows system DLLs is imported; the DLL answers the C++ runtime's few thread
# calls itself (src/plugin/runtime_threads.cpp), so no thread library is linked
# into it.
set(CMAKE_C_COMPILER   ${QUENTRA_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUENTRA_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${QUENTRA_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QUENTRA_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Every executable that a test runs goes through our Wine wrapper, which
# picks the build tree's own prefix, HOME and Chinese locale.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../../tools/wine/qwine)
