# Installing and packaging. `cmake --install` lays out the programs, the two host
# libraries with their headers, a CMake package (find_package(Tarvex): Tarvex::qmxzelti,
# Tarvex::defloader) and pkg-config files (qmxzelti.pc, defloader.pc); CPack makes a
# .deb on Linux and a zip on Windows. Tests, benchmarks and fuzzers are not installed.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(tarvex_here ${CMAKE_CURRENT_LIST_DIR}/install)
set(tarvex_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Tarvex)

# ---------------------------------------------------------------- programs
set(tarvex_programs flashwright fwstation tarvex-sim snagview qmx defload fwimage)
# From bin/, defload finds the libraries it links through its run path, and qmx loads
# Qmxzelti from the library folder by path (a run path does not reach a dlopen that a
# sanitizer's runtime intercepts). flashwright and fwstation get no run path: the D2XX library it
# binds is the system's (or FLASHWRIGHT_D2XX), and the installed file stays the plain
# built program that fwimage pack appends an image to.
if(NOT WIN32)
  file(RELATIVE_PATH tarvex_bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set_target_properties(defload PROPERTIES INSTALL_RPATH "$ORIGIN/${tarvex_bin_to_lib}")
  target_compile_definitions(qmx PRIVATE QMX_INSTALLED_LIBRARY_DIR="${tarvex_bin_to_lib}")
endif()
install(TARGETS ${tarvex_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The virtual FTDI library goes into a folder of its own, never where the system's
# loader would take it for a real D2XX library: lib/tarvex/ on Linux, bin/sim/ on
# Windows (Flashwright.exe in bin/ would load an FTD2XX.dll beside it first).
# FLASHWRIGHT_D2XX names it for a run against tarvex-sim.
if(WIN32)
  install(PROGRAMS $<TARGET_FILE:ftd2xx> DESTINATION ${CMAKE_INSTALL_BINDIR}/sim)
else()
  install(PROGRAMS $<TARGET_FILE:ftd2xx> DESTINATION ${CMAKE_INSTALL_LIBDIR}/tarvex)
endif()

# ---------------------------------------------------------------- libraries, headers
install(TARGETS qmxzelti defloader EXPORT TarvexTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/interface/include/qmxzelti.h
  ${PROJECT_SOURCE_DIR}/download/include/defloader.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# MSVC import libraries (Qmxzelti.lib, Defloader.lib) for the 32-bit field build, made
# from the exports lists by lld-link in MSVC's own short import format: each entry
# imports the decorated name exactly (_OpenVODVersion@4), and the library passes
# /SAFESEH. MinGW's dlltool writes a form MSVC's linker refuses under /SAFESEH.
if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  find_program(TARVEX_LLD_LINK NAMES lld-link lld-link-14 lld-link-15 lld-link-16)
  if(TARVEX_LLD_LINK)
    foreach(target qmxzelti defloader)
      get_target_property(def ${target} TARVEX_EXPORT_LIST)
      get_target_property(dll_name ${target} OUTPUT_NAME)
      # The import names only, one a line: MSVC's reading of a .def takes a name
      # that carries '@' as already decorated.
      file(STRINGS ${def} lines REGEX "^[A-Za-z][A-Za-z0-9_]*@[0-9]+ == _")
      list(TRANSFORM lines REPLACE "^.* == " "")
      list(JOIN lines "\n" body)
      set(msvc_def ${CMAKE_CURRENT_BINARY_DIR}/${dll_name}_msvc.def)
      file(CONFIGURE OUTPUT ${msvc_def} CONTENT
        "; Made from ${dll_name}.dll's list for MSVC's import library.\nLIBRARY ${dll_name}.dll\nEXPORTS\n${body}\n")
      set(msvc_lib ${CMAKE_ARCHIVE_OUTPUT_DIRECTORY}/${dll_name}.lib)
      add_custom_command(OUTPUT ${msvc_lib}
        COMMAND ${TARVEX_LLD_LINK} /nologo /machine:x86 /def:${msvc_def} /out:${msvc_lib}
        DEPENDS ${msvc_def} ${def}
        COMMENT "MSVC import library ${dll_name}.lib")
      add_custom_target(${target}_msvc_implib ALL DEPENDS ${msvc_lib})
      set_target_properties(${target} PROPERTIES TARVEX_MSVC_IMPLIB ${msvc_lib})
      install(FILES ${msvc_lib} DESTINATION ${CMAKE_INSTALL_LIBDIR})
    endforeach()
  else()
    message(STATUS "lld-link not found: no MSVC import libraries (Debian: apt install lld)")
  endif()
endif()

# ---------------------------------------------------------------- CMake package
install(EXPORT TarvexTargets NAMESPACE Tarvex:: DESTINATION ${tarvex_cmake_dir})
configure_package_config_file(${tarvex_here}/TarvexConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/TarvexConfig.cmake INSTALL_DESTINATION ${tarvex_cmake_dir})
# Same major version; the version file also refuses a consumer of the other pointer
# width (a 64-bit build cannot link the 32-bit libraries).
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/TarvexConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/TarvexConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/TarvexConfigVersion.cmake DESTINATION ${tarvex_cmake_dir})

# ---------------------------------------------------------------- pkg-config
# Paths relative to the .pc file, so `cmake --install --prefix` anywhere works.
file(RELATIVE_PATH pc_to_prefix ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
file(RELATIVE_PATH pc_libdir ${CMAKE_INSTALL_PREFIX} ${CMAKE_INSTALL_FULL_LIBDIR})
file(RELATIVE_PATH pc_includedir ${CMAKE_INSTALL_PREFIX} ${CMAKE_INSTALL_FULL_INCLUDEDIR})
foreach(pc_name qmxzelti defloader)
  if(pc_name STREQUAL qmxzelti)
    set(pc_description "Tarvex unit interface library for host applications")
  else()
    set(pc_description "Tarvex coin definition and bill table download library")
  endif()
  configure_file(${tarvex_here}/library.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${pc_name}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${pc_name}.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()

# ---------------------------------------------------------------- udev (Linux)
# Under the prefix's lib/udev/rules.d: /usr/lib/udev/rules.d in the .deb. An install
# elsewhere copies it to /etc/udev/rules.d by hand.
if(NOT WIN32)
  install(FILES ${tarvex_here}/60-tarvex.rules DESTINATION lib/udev/rules.d)
endif()

# ---------------------------------------------------------------- CPack
set(CPACK_PACKAGE_NAME tarvex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Tarvex unit host software: firmware loader, host libraries and simulated unit")
set(CPACK_PACKAGE_DESCRIPTION
  "flashwright reprograms the unit's firmware over the FTDI D2XX library, fwstation every
unit on a bench at once; libqmxzelti and
libdefloader are the libraries host applications use (headers, CMake package and
pkg-config files included); tarvex-sim, its virtual D2XX library (lib/tarvex/), qmx,
defload, fwimage and snagview let developers work without a unit.")
set(CPACK_PACKAGE_CONTACT "Tarvex host software maintainers <tarvex@example.org>")
set(CPACK_STRIP_FILES OFF)  # flashwright and fwstation must stay the files fwimage pack expects
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  endif()
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION misc)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # A shlibs file and the ldconfig trigger for the two libraries.
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${tarvex_here}/postinst)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()
include(CPack)
