# What both Windows builds share: the MinGW-w64 cross tools of ORV_ARCH (the
# posix thread model, for C++ threads) and a search that never mixes the
# host's libraries and headers into the Windows build.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${ORV_ARCH})
set(ORV_TRIPLE ${ORV_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${ORV_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORV_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ORV_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ORV_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
