# What `cmake --install BUILD --prefix P` lays out, for module authors:
#
#   P/bin/mhost                               the host program
#   P/lib/libmorvane.so.9...                  the SDK library (SONAME libmorvane.so.9)
#   P/include/{OBJ,OP,PRM,UT}/                every SDK header
#   P/lib/cmake/Morvane/                      find_package(Morvane): Morvane::sdk,
#                                             morvane_add_module()
#   P/lib/pkgconfig/morvane.pc                pkg-config --cflags --libs morvane
#   P/lib/morvane/modules/OBJ_Quenlo.so       the default module folder
#
# Every path inside the tree is relative (run paths to $ORIGIN, the package
# files to their own location), so the tree can be moved.
include(CMakePackageConfigHelpers)

set(MORVANE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Morvane)

# Components, one per package (cmake/Packaging.cmake): "library" the shared
# library by its SONAME, "development" what module authors build with,
# "host" mhost and the OBJ_Quenlo module, "python" the Python module.
install(TARGETS morvane EXPORT MorvaneTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT development)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/host/include/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development FILES_MATCHING PATTERN "*.h")
install(EXPORT MorvaneTargets NAMESPACE Morvane:: DESTINATION ${MORVANE_CMAKE_DIR}
  COMPONENT development)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/MorvaneConfig.cmake.in
  ${CMAKE_BINARY_DIR}/package/MorvaneConfig.cmake
  INSTALL_DESTINATION ${MORVANE_CMAKE_DIR}
  PATH_VARS MORVANE_INSTALL_MODULE_DIR)
# Modules built for 9.x load in any 9.x host.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/MorvaneConfigVersion.cmake
  VERSION ${MORVANE_SDK_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_BINARY_DIR}/package/MorvaneConfig.cmake
  ${CMAKE_BINARY_DIR}/package/MorvaneConfigVersion.cmake
  ${PROJECT_SOURCE_DIR}/cmake/MorvaneModule.cmake
  DESTINATION ${MORVANE_CMAKE_DIR} COMPONENT development)

# pkg-config: the prefix is found from the .pc file's own folder.
file(RELATIVE_PATH MORVANE_PC_TO_PREFIX
  /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/morvane.pc.in
  ${CMAKE_BINARY_DIR}/package/morvane.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/morvane.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)
