# What `cmake --install` puts in place: the library, its header, the tool with its manual page,
# a CMake package (find_package(bmpsepia) gives bmpsepia::bmpsepia) and a pkg-config file.
# Every installed file finds the others relative to itself, so any --prefix works.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS bmpsepia EXPORT bmpsepiaTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES include/bmpsepia.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

if(TARGET bmpsepia_cli)
  file(RELATIVE_PATH bin_to_lib "${CMAKE_INSTALL_FULL_BINDIR}" "${CMAKE_INSTALL_FULL_LIBDIR}")
  set_target_properties(bmpsepia_cli PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
  install(TARGETS bmpsepia_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  configure_file(cli/bmpsepia.1.in ${PROJECT_BINARY_DIR}/bmpsepia.1 @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/bmpsepia.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/bmpsepia)
install(EXPORT bmpsepiaTargets NAMESPACE bmpsepia:: DESTINATION ${config_dir})
configure_package_config_file(cmake/bmpsepiaConfig.cmake.in
  ${PROJECT_BINARY_DIR}/bmpsepiaConfig.cmake INSTALL_DESTINATION ${config_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/bmpsepiaConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/bmpsepiaConfig.cmake
  ${PROJECT_BINARY_DIR}/bmpsepiaConfigVersion.cmake DESTINATION ${config_dir})

# The .pc file names its prefix relative to its own folder, which pkg-config supplies.
file(RELATIVE_PATH pc_to_prefix "${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig" "${CMAKE_INSTALL_PREFIX}")
string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
set(PC_PREFIX "\${pcfiledir}/${pc_to_prefix}")
file(RELATIVE_PATH PC_LIBDIR "${CMAKE_INSTALL_PREFIX}" "${CMAKE_INSTALL_FULL_LIBDIR}")
file(RELATIVE_PATH PC_INCLUDEDIR "${CMAKE_INSTALL_PREFIX}" "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
configure_file(cmake/bmpsepia.pc.in ${PROJECT_BINARY_DIR}/bmpsepia.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/bmpsepia.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
