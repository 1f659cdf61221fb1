# 64-bit Windows build of the same sources; the tests run it under Wine.
set(ORV_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
