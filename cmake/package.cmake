# Debian packages of the installed toolkit, made by cpack (scripts/package):
#
#   adckit      the programs; natively also the PC parts (libvboard.so under
#               /usr/lib/adckit/, the board's launcher, linkpeer)
#   adckit-dev  static libraries, headers, the CMake package and pkg-config
#               files; natively also the board's control header and the
#               stand-in link library
#
# A cross build for the board packages the board's components only, for the
# board's architecture.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME adckit)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR adckit)
set(CPACK_PACKAGE_CONTACT "${ADCKIT_MAINTAINER}")
# The Debian revision: the packaging of this release, as the changelog in
# cmake/debian/ numbers it (a changelog.Debian.gz belongs to a package that
# has one).
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(adckit_deb_version "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
# Programs and the board library as Debian ships them: without symbol
# tables.  Static libraries are never stripped.
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)

set(CPACK_COMPONENT_BOARD_GROUP runtime)
set(CPACK_COMPONENT_PC_GROUP runtime)
set(CPACK_COMPONENT_BOARD_DEV_GROUP dev)
set(CPACK_COMPONENT_PC_DEV_GROUP dev)

if(CMAKE_CROSSCOMPILING)
  set(CPACK_COMPONENTS_ALL board board_dev)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm" AND CMAKE_C_COMPILER MATCHES "gnueabihf")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
  else()
    message(WARNING "no Debian architecture known for ${CMAKE_SYSTEM_PROCESSOR}; packages will be wrong")
  endif()
else()
  # Whatever else a folder installs (with a component of its own, or none,
  # which is pc) is a PC program or library: it goes with the runtime.
  get_cmake_property(CPACK_COMPONENTS_ALL COMPONENTS)
  foreach(component IN LISTS CPACK_COMPONENTS_ALL)
    if(NOT component MATCHES "^(board|pc|board_dev|pc_dev)$")
      string(TOUPPER "${component}" upper)
      set(CPACK_COMPONENT_${upper}_GROUP runtime)
    endif()
  endforeach()
endif()

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME adckit)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION electronics)
# cpack puts the summary above as the first line, and indents these.
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "The programs: gpiosampler reads the converter by bit-banging sysfs
GPIO; adcread, rfcomm_server and adc_server read it through the kernel's
spidev driver, the last two serving readings to a computing kernel over a
link. Built for a PC, the package also holds the virtual board
(/usr/lib/adckit/libvboard.so) and linkpeer.")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME adckit-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION "Development files: the static libraries libadcscan, librfbridge and
libadcbridge, their headers under /usr/include/adckit, a CMake package
(find_package(adckit)) and pkg-config files. Built for a PC, the package
also holds the virtual board's control header and the stand-in link
library.")
# The CMake package names the runtime's files (libvboard.so), and programs
# linked statically need the C library's development files.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "adckit (= ${adckit_deb_version}), libc6-dev | libc-dev")
set(CPACK_DEBIAN_DEV_PACKAGE_RECOMMENDS "pkg-config | pkgconf, cmake")

if(CMAKE_CROSSCOMPILING)
  # dpkg-shlibdeps knows only this machine's libraries: name the board's
  # from the cross toolchain, whose C library and C++ runtime are the
  # oldest the programs can run with.
  execute_process(COMMAND ${CMAKE_C_COMPILER} -dM -E -include features.h -x c /dev/null
    OUTPUT_VARIABLE adckit_glibc_macros ERROR_QUIET)
  string(REGEX MATCH "#define __GLIBC__ ([0-9]+)" _ "${adckit_glibc_macros}")
  set(adckit_glibc_major ${CMAKE_MATCH_1})
  string(REGEX MATCH "#define __GLIBC_MINOR__ ([0-9]+)" _ "${adckit_glibc_macros}")
  set(adckit_glibc_minor ${CMAKE_MATCH_1})
  if(NOT adckit_glibc_major OR NOT adckit_glibc_minor)
    message(FATAL_ERROR "cannot tell the C library version of ${CMAKE_C_COMPILER}")
  endif()
  string(REGEX MATCH "^[0-9]+" adckit_gcc_major "${CMAKE_CXX_COMPILER_VERSION}")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS
    "libc6 (>= ${adckit_glibc_major}.${adckit_glibc_minor}), libgcc-s1, libstdc++6 (>= ${adckit_gcc_major})")
else()
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
