# calyra_install_library(<target> <package> <description> <public-include-dir>)
# Installs a shared library with its public headers, a pkg-config file
# (<package>.pc) and a CMake package config (find_package(<package>) gives
# the imported target calyra::<target>).
include(CMakePackageConfigHelpers)

function(calyra_install_library target package description include_dir)
  install(TARGETS ${target} EXPORT ${package}Targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(DIRECTORY ${include_dir}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(EXPORT ${package}Targets NAMESPACE calyra::
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/${package})

  get_target_property(_version ${target} VERSION)
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/${package}Config.cmake.in
"@PACKAGE_INIT@\ninclude(\"\${CMAKE_CURRENT_LIST_DIR}/${package}Targets.cmake\")\n")
  configure_package_config_file(
    ${CMAKE_CURRENT_BINARY_DIR}/${package}Config.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/${package}Config.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/${package})
  write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/${package}ConfigVersion.cmake
    VERSION ${_version} COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${package}Config.cmake
                ${CMAKE_CURRENT_BINARY_DIR}/${package}ConfigVersion.cmake
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/${package})

  get_target_property(_output ${target} OUTPUT_NAME)
  if(NOT _output)
    set(_output ${target})
  endif()
  # The prefix is found from where the .pc file lies, so that an install
  # with `cmake --install --prefix` elsewhere still gives correct paths.
  file(RELATIVE_PATH _pc_to_prefix "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
  string(REGEX REPLACE "/$" "" _pc_to_prefix "${_pc_to_prefix}")
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/${package}.pc
"prefix=\${pcfiledir}/${_pc_to_prefix}
libdir=\${prefix}/${CMAKE_INSTALL_LIBDIR}
includedir=\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}

Name: ${package}
Description: ${description}
Version: ${_version}
Libs: -L\${libdir} -l${_output}
Cflags: -I\${includedir}
")
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${package}.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()
