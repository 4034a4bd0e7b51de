# 64-bit Windows: the same program, for running the Windows tests under Wine on machines whose
# kernel runs no 32-bit code. See mingw-w64.cmake.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
