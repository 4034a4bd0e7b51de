# The Windows build, cross-compiled with cmake/mingw-i686.toolchain.cmake (or the x86_64 one)
# against a static Allegro that scripts/allegro-windows builds. Every program links its runtime
# in, so that the zip holds no DLL and needs none but Windows' own. scripts/build-windows runs it.

set(CHANLOG_ALLEGRO_PREFIX "" CACHE PATH "The Allegro for Windows to link: what scripts/allegro-windows prints")
if(NOT EXISTS "${CHANLOG_ALLEGRO_PREFIX}/lib/pkgconfig/allegro-static-5.pc")
  message(FATAL_ERROR "No Allegro for Windows at CHANLOG_ALLEGRO_PREFIX='${CHANLOG_ALLEGRO_PREFIX}'.\n"
          "scripts/allegro-windows builds one and prints its folder; scripts/build-windows does "
          "both.")
endif()

# Allegro's static libraries, and the Windows libraries they need as their .pc files list them.
# Only this Allegro's .pc files: the host's are Linux ones.
set(ENV{PKG_CONFIG_LIBDIR} "${CHANLOG_ALLEGRO_PREFIX}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
pkg_check_modules(ALLEGRO REQUIRED allegro-static-5 allegro_primitives-static-5)
# The name the Linux build's pkg-config gives Allegro, so that the targets link it alike.
add_library(PkgConfig::ALLEGRO INTERFACE IMPORTED)
# Without it Allegro's headers declare every function as imported from a DLL.
target_compile_definitions(PkgConfig::ALLEGRO INTERFACE ALLEGRO_STATICLINK)
target_include_directories(PkgConfig::ALLEGRO INTERFACE ${ALLEGRO_STATIC_INCLUDE_DIRS})
target_link_directories(PkgConfig::ALLEGRO INTERFACE ${ALLEGRO_STATIC_LIBRARY_DIRS})
target_link_libraries(PkgConfig::ALLEGRO INTERFACE ${ALLEGRO_STATIC_LIBRARIES})
# Allegro's headers name themselves (__FILE__, in its allocation macros): by a name that does not
# depend on where this machine keeps its build.
add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CHANLOG_ALLEGRO_PREFIX}=allegro>")

# Each program's version resource and application manifest (packaging/windows/program.*.in) go
# into it through windres.
enable_language(RC)

# The C and C++ runtimes and the threads library (winpthread, which std::thread and Allegro's
# -posix build use) go into each program instead of beside it as DLLs.
add_link_options(-static)
# A 32-bit program may use all the address space that Windows gives it, 4 GiB on 64-bit Windows,
# instead of the 2 GiB of a program that Windows takes to be unready for addresses past 2 GiB.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  add_link_options(-Wl,--large-address-aware)
endif()
# The same sources give the same program: no time stamp in its header (the linker's default is
# the time of the link).
add_link_options(-Wl,--no-insert-timestamp)
# The oldest Windows the programs run on, as their headers tell Windows: 6.1, Windows 7, the oldest
# that the manifest lists (GetTickCount64 alone needs Vista), where the linker's default says NT 4.
# And terminal-server aware, as Microsoft's linker marks a program by default, so that a terminal
# server does not give it the compatibility layer (per-user copies of INI files and registry
# keys) that it gives programs made before terminal servers.
add_link_options(-Wl,--major-os-version=6,--minor-os-version=1
                 -Wl,--major-subsystem-version=6,--minor-subsystem-version=1 -Wl,--tsaware)

# Fills in packaging/windows/program.rc.in and program.manifest.in for `target` and builds them
# into it. `contents` says what else the program contains, for its copyright line.
function(chanlog_windows_resources target description contents)
  set(CHANLOG_RC_NAME ${target})
  set(CHANLOG_RC_DESCRIPTION "${description}")
  set(CHANLOG_RC_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0)
  string(REPLACE "." "," CHANLOG_RC_VERSION_COMMAS ${CHANLOG_RC_VERSION})
  set(CHANLOG_RC_CONTAINS "${contents}")
  set(CHANLOG_RC_MANIFEST ${PROJECT_BINARY_DIR}/resources/${target}.manifest)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/program.manifest.in
                 ${CHANLOG_RC_MANIFEST} @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/program.rc.in
                 ${PROJECT_BINARY_DIR}/resources/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${PROJECT_BINARY_DIR}/resources/${target}.rc)
  # windres reads the manifest itself: a changed manifest builds the resource again.
  set_property(SOURCE ${PROJECT_BINARY_DIR}/resources/${target}.rc APPEND PROPERTY
               OBJECT_DEPENDS ${CHANLOG_RC_MANIFEST})
endfunction()

# chanlog_core is made after this file is read; it gets its Windows needs once it exists.
# Windows Sockets is ws2_32. Lean windows.h leaves out the old winsock.h, whose declarations clash
# with winsock2.h's when windows.h comes first.
macro(chanlog_windows_finish)
  target_compile_definitions(chanlog_core PUBLIC WIN32_LEAN_AND_MEAN)
  target_link_libraries(chanlog_core PUBLIC ws2_32)
  # Every thread start goes through platform/win32/threads.cpp, which says a thread that Windows
  # refuses: the C runtime's _beginthreadex, by the name of its import (the prefix of C symbols,
  # "_" on 32-bit x86, taken off). The wrapper's own symbol, with that prefix, is asked for by
  # name, so that every program takes it from the library, also one that calls nothing else in
  # its file.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    target_link_options(chanlog_core PUBLIC -Wl,--wrap=__imp__beginthreadex
                        -Wl,--undefined=__wrap___imp__beginthreadex)
  else()
    target_link_options(chanlog_core PUBLIC -Wl,--wrap=_imp___beginthreadex
                        -Wl,--undefined=___wrap__imp___beginthreadex)
  endif()
  chanlog_windows_resources(chanlog "chanlog: logs the reported lines of a local text service"
                            "Allegro, the MinGW-w64 runtime, winpthreads and GCC's runtime")
  chanlog_windows_resources(sample-feed "sample-feed: sample services for chanlog"
                            "the MinGW-w64 runtime, winpthreads and GCC's runtime")

  # Each program's link map, from which scripts/windows-licences finds the components linked in.
  set(maps)
  foreach(program chanlog sample-feed)
    target_link_options(${program} PRIVATE -Wl,-Map=${PROJECT_BINARY_DIR}/maps/${program}.map)
    list(APPEND maps ${program}.exe=${PROJECT_BINARY_DIR}/maps/${program}.map)
  endforeach()
  file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/maps)
  set(text ${PROJECT_BINARY_DIR}/zip-text)
  add_custom_command(
    OUTPUT ${text}/licences/CONTENTS.txt
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/windows-licences ${text}
            ${CHANLOG_ALLEGRO_PREFIX}/LICENSE.txt ${maps}
    DEPENDS chanlog sample-feed ${PROJECT_SOURCE_DIR}/scripts/windows-licences
            ${PROJECT_SOURCE_DIR}/packaging/windows/README.txt ${PROJECT_SOURCE_DIR}/LICENSE
            ${PROJECT_SOURCE_DIR}/packaging/windows/licences/winpthreads.txt
            ${PROJECT_SOURCE_DIR}/packaging/windows/licences/gcc-runtime.txt
    COMMENT "Gathering the licences of what the programs link"
    VERBATIM)
  add_custom_target(chanlog_windows_text ALL DEPENDS ${text}/licences/CONTENTS.txt)

  # What the zip holds (scripts/build-windows makes it): both programs, a README for Windows
  # users, our licence, and the notices of every component linked into them, all text with CR LF
  # line ends.
  install(TARGETS chanlog sample-feed RUNTIME DESTINATION .)
  install(DIRECTORY ${text}/ DESTINATION .)
endmacro()
cmake_language(DEFER CALL chanlog_windows_finish)
