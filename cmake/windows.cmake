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

# The C and C++ runtimes and the threads library (winpthread, which std::thread and Allegro's
# -posix build use) go into each program instead of beside it as DLLs.
add_link_options(-static)

# chanlog_core is made after this file is read; it gets its Windows needs once it exists.
# Windows Sockets is ws2_32. Lean windows.h leaves out the old winsock.h, whose declarations clash
# with winsock2.h's when windows.h comes first.
macro(chanlog_windows_finish)
  target_compile_definitions(chanlog_core PUBLIC WIN32_LEAN_AND_MEAN)
  target_link_libraries(chanlog_core PUBLIC ws2_32)

  # The zip: both programs, a README for Windows users, our licence, and Allegro's, which comes
  # with every copy of a program that contains Allegro.
  install(TARGETS chanlog sample-feed RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/windows/README.txt DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
  install(FILES ${CHANLOG_ALLEGRO_PREFIX}/LICENSE.txt DESTINATION allegro)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME chanlog)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_STRIP_FILES ON)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_PACKAGE_FILE_NAME chanlog-${PROJECT_VERSION}-win64)
  else()
    set(CPACK_PACKAGE_FILE_NAME chanlog-${PROJECT_VERSION}-win32)
  endif()
  include(CPack)
endmacro()
cmake_language(DEFER CALL chanlog_windows_finish)
