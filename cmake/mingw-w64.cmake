# What the cross toolchains for Windows share: mingw-w64 for CMAKE_SYSTEM_PROCESSOR, set by the
# toolchain file that includes this one, its programs and its libraries (zlib). The compilers
# of QLM_MINGW_THREAD_MODEL (win32 or posix) when the toolchain file names one.
set(CMAKE_SYSTEM_NAME Windows)
set(QLM_MINGW_TARGET ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)
if(QLM_MINGW_THREAD_MODEL)
  set(CMAKE_C_COMPILER ${QLM_MINGW_TARGET}-gcc-${QLM_MINGW_THREAD_MODEL})
  set(CMAKE_CXX_COMPILER ${QLM_MINGW_TARGET}-g++-${QLM_MINGW_THREAD_MODEL})
else()
  set(CMAKE_C_COMPILER ${QLM_MINGW_TARGET}-gcc)
  set(CMAKE_CXX_COMPILER ${QLM_MINGW_TARGET}-g++)
endif()
set(CMAKE_RC_COMPILER ${QLM_MINGW_TARGET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QLM_MINGW_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
