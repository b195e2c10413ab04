# Debian packages, made by CPack's DEB generator from one build configured
# for /usr (cmake -DCMAKE_INSTALL_PREFIX=/usr, then cpack -G DEB):
#
#   libmorvane9     the SDK library, by its SONAME
#   libmorvane-dev  headers, the CMake package, morvane.pc, morvane_add_module,
#                   the unversioned libmorvane.so link
#   mhost           the host program, the OBJ_Quenlo module in the default
#                   module folder, the man page and the bash completion
#
# CPack rather than a debian/ folder: the install rules already say where
# every file goes, component by component, and one build makes all three.
# Dependencies are computed (dpkg-shlibdeps); copyright and changelog come
# from packaging/. packaging/lintian-notes.md lists what lintian still says.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quenlo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The OBJ_Quenlo developers")
set(CPACK_PACKAGE_CONTACT "The OBJ_Quenlo developers <quenlo@example.org>")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL library development host)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# mhost and the module link the SDK library of this build, packaged beside
# them (libmorvane9, a dependency of its own below).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${QUENLO_LIB_DIR})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.org/quenlo")

set(soMajor ${MORVANE_SDK_VERSION})
string(REGEX REPLACE "\\..*" "" soMajor "${soMajor}")
set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libmorvane${soMajor})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# The linker cache is updated by a trigger, as Debian policy requires, not by
# ldconfig calls in maintainer scripts (which CPack writes unless given its
# own).
configure_file(${PROJECT_SOURCE_DIR}/packaging/libmorvane.triggers
  ${CMAKE_BINARY_DIR}/package/library/triggers COPYONLY)
foreach(script postinst postrm)
  file(COPY ${PROJECT_SOURCE_DIR}/packaging/libmorvane.${script}
    DESTINATION ${CMAKE_BINARY_DIR}/package/library-scripts)
  file(RENAME ${CMAKE_BINARY_DIR}/package/library-scripts/libmorvane.${script}
    ${CMAKE_BINARY_DIR}/package/library/${script})
endforeach()
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/package/library/triggers
  ${CMAKE_BINARY_DIR}/package/library/postinst ${CMAKE_BINARY_DIR}/package/library/postrm)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_MULTIARCH same)
set(CPACK_COMPONENT_LIBRARY_DESCRIPTION "Morvane host SDK, shared library
The stand-in SDK of the Morvane 3D host: the UT_, PRM_, OP_ and OBJ_ classes
that plug-in modules are written against, and the module loader. Modules
and host programs built for interface version ${soMajor} load it.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libmorvane-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_MULTIARCH same)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS library)
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "Morvane host SDK, development files
What a plug-in module for the Morvane 3D host is built with: the SDK's
headers, its CMake package (find_package(Morvane), morvane_add_module) and
its pkg-config file.")

set(CPACK_DEBIAN_HOST_PACKAGE_NAME mhost)
set(CPACK_DEBIAN_HOST_PACKAGE_SECTION graphics)
set(CPACK_COMPONENT_HOST_DEPENDS library)
set(CPACK_COMPONENT_HOST_DESCRIPTION "stand-in Morvane host with the OBJ_Quenlo module
mhost loads plug-in modules of the Morvane 3D host, builds, edits (also by
hand, in a browser), cooks and bakes scenes of object nodes, and checks
modules the way the host relies on them. It comes with OBJ_Quenlo, whose
node type quenlo poses a null object from key poses by one driver value.")

# copyright and changelog.Debian.gz in each package's documentation folder.
set(changelog ${CMAKE_BINARY_DIR}/package/changelog.Debian.gz)
add_custom_command(OUTPUT ${changelog}
  COMMAND sh -c "gzip -9n < \"$1\" > \"$2\"" sh ${PROJECT_SOURCE_DIR}/packaging/changelog ${changelog}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS ${changelog})
foreach(component library development host)
  string(TOUPPER ${component} upper)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${changelog}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

include(CPack)
