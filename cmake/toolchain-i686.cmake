# 32-bit Windows product build (what users run).
set(ORV_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
