# Package config so an outside CMake project finds the libraries with
# find_package(adckit); each folder adds its targets to the export set.
include(CMakePackageConfigHelpers)
set(ADCKIT_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/adckit)
get_property(adckit_exported GLOBAL PROPERTY ADCKIT_EXPORTED)
if(adckit_exported)
  install(EXPORT adckitTargets NAMESPACE adckit:: DESTINATION ${ADCKIT_CMAKE_DIR})
endif()
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/adckitConfig.cmake.in
  ${CMAKE_BINARY_DIR}/adckitConfig.cmake INSTALL_DESTINATION ${ADCKIT_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/adckitConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/adckitConfig.cmake ${CMAKE_BINARY_DIR}/adckitConfigVersion.cmake
  DESTINATION ${ADCKIT_CMAKE_DIR})
