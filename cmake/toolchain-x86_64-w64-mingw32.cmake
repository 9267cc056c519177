# Cross toolchain for the 64-bit Windows program (pkgtool.exe).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
