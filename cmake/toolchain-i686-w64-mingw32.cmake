# Cross toolchain for the 32-bit Windows program (PATCH.EXE).
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
