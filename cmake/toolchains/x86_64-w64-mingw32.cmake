# The 64-bit twin: the same sources as the product, built so that they can run
# under wine64 on machines whose kernel cannot execute 32-bit x86 code.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(QUENTRA_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
