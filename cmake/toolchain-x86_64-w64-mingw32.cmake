# Cross toolchain for the 64-bit Windows program (pkgtool.exe). Its differ runs threads, which
# only the compilers of the posix thread model give to std::thread; linked statically, they
# import nothing more.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QLM_MINGW_THREAD_MODEL posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
