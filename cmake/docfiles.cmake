# Manual pages and each package's copyright and changelog, as installed.
#
# The pages come from docs/man/ (scripts/manpages makes them with help2man
# from the programs' --help; gpiosampler's is written by hand), so no build
# runs a program to make them: the board's cross build installs the same
# pages.  Each goes with its program's component, compressed as Debian's
# policy wants (gzip -9n: no name, no time stamp, the same bytes each time).
# They are compressed when the build is configured, not built, so that an
# install after building only some targets still finds them; editing a
# source configures again.
find_program(ADCKIT_GZIP gzip)
set(adckit_man_dir ${PROJECT_BINARY_DIR}/docfiles)
file(MAKE_DIRECTORY ${adckit_man_dir})

# adckit_compressed(SOURCE NAME): NAME under the build's docfiles folder, gzipped
# when gzip is there; the path to install is left in adckit_compressed_file.
function(adckit_compressed source name)
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  set(output ${source})
  if(ADCKIT_GZIP)
    file(COPY_FILE ${source} ${adckit_man_dir}/${name})
    execute_process(COMMAND ${ADCKIT_GZIP} -9nf ${adckit_man_dir}/${name} RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "cannot compress ${name} in ${adckit_man_dir}")
    endif()
    set(output ${adckit_man_dir}/${name}.gz)
  endif()
  set(adckit_compressed_file ${output} PARENT_SCOPE)
endfunction()

# target|page|component
foreach(entry IN ITEMS gpiosampler|gpiosampler|board adcread|adcread|board
                       rfcomm_server|rfcomm_server|board adc_server|adc_server|board
                       linkpeer|linkpeer|pc vboard_command|vboard|pc)
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 target)
  list(GET entry 1 page)
  list(GET entry 2 component)
  if(TARGET ${target})
    adckit_compressed(${PROJECT_SOURCE_DIR}/docs/man/${page}.1 ${page}.1)
    install(FILES ${adckit_compressed_file}
      DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
  endif()
endforeach()

# Each package's copyright and changelog, in /usr/share/doc/<package>/ as
# Debian wants them; an installed tree keeps them there too.  Both name the
# maintainer, as the packages do.
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/copyright.in ${PROJECT_BINARY_DIR}/debian/copyright @ONLY)
adckit_compressed(${PROJECT_BINARY_DIR}/debian/changelog changelog.Debian)
foreach(package_component IN ITEMS adckit|board adckit-dev|board_dev)
  string(REPLACE "|" ";" package_component "${package_component}")
  list(GET package_component 0 package)
  list(GET package_component 1 component)
  install(FILES ${PROJECT_BINARY_DIR}/debian/copyright ${adckit_compressed_file}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()
