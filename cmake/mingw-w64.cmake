# What the MinGW-w64 toolchain files share; each sets CMAKE_SYSTEM_PROCESSOR and includes this.
# Windows programs from Debian's MinGW-w64 cross compilers, run under Wine where CMake needs to
# run one (the tests, and GoogleTest's listing of them):
#
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.toolchain.cmake \
#         -DCHANLOG_ALLEGRO_PREFIX=<what scripts/allegro-windows prints>
#
# scripts/build-windows does all of it. Allegro's own build uses these files too.
set(CMAKE_SYSTEM_NAME Windows)
set(CHANLOG_MINGW_TRIPLET ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)

# The -posix compilers: GCC 12's -win32 ones have no std::thread or std::mutex.
set(CMAKE_C_COMPILER ${CHANLOG_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CHANLOG_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${CHANLOG_MINGW_TRIPLET}-windres)
# The gcc- wrappers of ar and ranlib, which also read the objects of an -flto build.
set(CMAKE_AR ${CHANLOG_MINGW_TRIPLET}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${CHANLOG_MINGW_TRIPLET}-gcc-ranlib-posix CACHE FILEPATH "")

# Headers and libraries only from the MinGW tree and from our build of Allegro, never the host's;
# programs (pkg-config among them) only from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${CHANLOG_MINGW_TRIPLET})
if(CHANLOG_ALLEGRO_PREFIX)
  list(APPEND CMAKE_FIND_ROOT_PATH ${CHANLOG_ALLEGRO_PREFIX})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Through a wrapper that keeps one Wine prefix for all our runs and hands CTest the program's
# output as soon as it ends, not when Wine's helper processes let go of it.
get_filename_component(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run
                       ABSOLUTE)
