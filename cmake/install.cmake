# What an installed toolkit holds, in four components:
#
#   board      the programs that run on the board
#   board_dev  the system's static libraries and headers, their CMake package
#              and pkg-config files
#   pc         what only a PC needs: the virtual board (lib/adckit/libvboard.so,
#              its launcher) and linkpeer
#   pc_dev     the virtual board's control header, the stand-in link library,
#              their CMake targets and pkg-config files
#
# `cmake --install <build> --component board` (and board_dev) installs what
# goes on the board; a plain `cmake --install` installs all four.  Headers go
# under include/adckit/ only, so they clash with nothing else on a machine.
include(CMakePackageConfigHelpers)
set(ADCKIT_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/adckit)
set(ADCKIT_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
# libvboard.so is preloaded by its path and linked by tests only; out of the
# loader's default folders it shadows nothing.
set(ADCKIT_PRIVATE_LIBDIR ${CMAKE_INSTALL_LIBDIR}/adckit)
# Who answers for the packages: their Maintainer field, the copyright's
# contact and the changelog's signature.  The project has no address of its
# own yet; set the real one when building packages to publish
# (-DADCKIT_MAINTAINER="Name <address>").
set(ADCKIT_MAINTAINER "adckit developers <adckit@example.org>" CACHE STRING
  "Name and mail address of the packages' maintainer")

set(adckit_board_programs)
foreach(program IN ITEMS gpiosampler adcread rfcomm_server adc_server)
  if(TARGET ${program})
    list(APPEND adckit_board_programs ${program})
  endif()
endforeach()
set(adckit_board_libraries)
foreach(lib IN ITEMS adcscan rfbridge adcbridge)
  if(TARGET ${lib})
    list(APPEND adckit_board_libraries ${lib})
  endif()
endforeach()

if(adckit_board_programs)
  install(TARGETS ${adckit_board_programs}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT board)
endif()
if(adckit_board_libraries)
  install(TARGETS ${adckit_board_libraries} EXPORT adckitTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT board_dev)
  install(EXPORT adckitTargets NAMESPACE adckit::
    DESTINATION ${ADCKIT_CMAKE_DIR} COMPONENT board_dev)
endif()

set(adckit_pc_exported FALSE)
if(TARGET vboard)
  # Its header is installed with the others below; a PUBLIC_HEADER given
  # relative to the board's folder would be looked for here.
  set_target_properties(vboard PROPERTIES PUBLIC_HEADER "")
  install(TARGETS vboard EXPORT adckitPCTargets
    LIBRARY DESTINATION ${ADCKIT_PRIVATE_LIBDIR} COMPONENT pc)
  set(adckit_pc_exported TRUE)
endif()
if(TARGET linklib)
  install(TARGETS linklib EXPORT adckitPCTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT pc_dev)
  set(adckit_pc_exported TRUE)
endif()
if(adckit_pc_exported)
  install(EXPORT adckitPCTargets NAMESPACE adckit::
    DESTINATION ${ADCKIT_CMAKE_DIR} COMPONENT pc_dev)
endif()
if(TARGET linkpeer)
  install(TARGETS linkpeer RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT pc)
endif()
if(TARGET vboard_command)
  # The launcher looks for the board library under ../lib/adckit beside it.
  install(TARGETS vboard_command RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT pc)
endif()

# Manual pages, copyright and changelog.
include(${CMAKE_CURRENT_LIST_DIR}/docfiles.cmake)

# The public headers, as cmake/headers.cmake lists them.
get_property(adckit_headers GLOBAL PROPERTY ADCKIT_PUBLIC_HEADERS)
set(adckit_headers_done)
foreach(entry IN LISTS adckit_headers)
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 target)
  list(GET entry 1 source)
  list(GET entry 2 dir)
  if(source IN_LIST adckit_headers_done)
    continue()
  endif()
  list(APPEND adckit_headers_done ${source})
  if(target STREQUAL "vboard" OR target STREQUAL "linklib")
    set(component pc_dev)
  else()
    set(component board_dev)
  endif()
  install(FILES ${source} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${dir} COMPONENT ${component})
endforeach()

# pkg-config files.  The prefix is found from the .pc file's own place, so
# a tree installed with --prefix anywhere (or unpacked from a package into
# another root) works without editing it.
file(RELATIVE_PATH adckit_pc_to_prefix
  ${CMAKE_INSTALL_PREFIX}/${ADCKIT_PKGCONFIG_DIR} ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" adckit_pc_to_prefix "${adckit_pc_to_prefix}")
set(ADCKIT_PC_PREFIX "\${pcfiledir}/${adckit_pc_to_prefix}")

# The bridges need a link library: the stand-in's pkg-config file, or the
# vendor's directory and libraries as the build was given them.
set(ADCKIT_PC_LINK_REQUIRES "")
set(ADCKIT_PC_LINK_CFLAGS "")
set(ADCKIT_PC_LINK_LIBS "")
if(ADCKIT_LINK_DIR)
  set(ADCKIT_PC_LINK_CFLAGS " -I${ADCKIT_LINK_DIR}")
  get_property(adckit_link_libs GLOBAL PROPERTY ADCKIT_BRIDGE_LINK_LIBS)
  foreach(lib IN LISTS adckit_link_libs)
    if(lib MATCHES "^-" OR IS_ABSOLUTE "${lib}")
      string(APPEND ADCKIT_PC_LINK_LIBS " ${lib}")
    else()
      string(APPEND ADCKIT_PC_LINK_LIBS " -l${lib}")
    endif()
  endforeach()
  string(STRIP "${ADCKIT_PC_LINK_LIBS}" ADCKIT_PC_LINK_LIBS)
elseif(TARGET linklib)
  set(ADCKIT_PC_LINK_REQUIRES linklib)
endif()

function(adckit_pkgconfig name template component)
  set(ADCKIT_PC_NAME ${name})
  set(ADCKIT_PC_DESCRIPTION ${ARGN})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/pkgconfig/${template}.pc.in
    ${PROJECT_BINARY_DIR}/pkgconfig/${name}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/${name}.pc
    DESTINATION ${ADCKIT_PKGCONFIG_DIR} COMPONENT ${component})
endfunction()
if(TARGET adcscan)
  adckit_pkgconfig(adcscan adcscan board_dev "MCP3008 channel scan over the spidev driver")
endif()
if(TARGET rfbridge)
  adckit_pkgconfig(rfbridge bridge board_dev "Serves rfcomm[x] to a computing kernel over a link")
endif()
if(TARGET adcbridge)
  adckit_pkgconfig(adcbridge bridge board_dev "Serves MCP3008 scans to a computing kernel over a link")
endif()
if(TARGET linklib)
  adckit_pkgconfig(linklib linklib pc_dev "Stand-in link library: the calls of mathlink.h over stream sockets")
endif()
if(TARGET vboard)
  adckit_pkgconfig(vboard vboard pc_dev "Virtual board: sysfs GPIO, spidev and an MCP3008 on a PC")
endif()

# The CMake package: find_package(adckit) gives the adckit:: targets of
# whichever components are installed.
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/adckitConfig.cmake.in
  ${PROJECT_BINARY_DIR}/adckitConfig.cmake INSTALL_DESTINATION ${ADCKIT_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/adckitConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/adckitConfig.cmake ${PROJECT_BINARY_DIR}/adckitConfigVersion.cmake
  DESTINATION ${ADCKIT_CMAKE_DIR} COMPONENT board_dev)
