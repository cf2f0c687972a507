# Installation, the CMake package, pkg-config and the Debian package.
#
#   <prefix>/lib/libtarnel.so.1, libtarnel_host.so.1 (+ .so links for linking)
#   <prefix>/include/tarnel/        public headers, host service headers,
#                                   json_spirit/ (included flat: "tarnel_admin.h")
#   <prefix>/lib/cmake/tarnel/      find_package(tarnel CONFIG): tarnel::tarnel, tarnel::host
#   <prefix>/lib/pkgconfig/tarnel.pc
#   <prefix>/bin/tarnelctl, tarnel-sim
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TARNEL_INSTALL_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}/tarnel")
set(TARNEL_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/tarnel")

# The declarations of the host services (Boost, curl/curl.h) as tarnel::platform;
# an installed consumer takes libcurl's include directories from its own
# find_package(CURL), done by tarnelConfig.cmake.
set_target_properties(tarnel_platform PROPERTIES EXPORT_NAME platform)
set_target_properties(tarnel_host PROPERTIES EXPORT_NAME host)

install(TARGETS tarnel tarnel_host tarnel_platform
  EXPORT tarnelTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libraries NAMELINK_COMPONENT development
  INCLUDES DESTINATION ${TARNEL_INSTALL_INCLUDEDIR})
install(TARGETS tarnelctl tarnel-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/ ${PROJECT_SOURCE_DIR}/platform/
  DESTINATION ${TARNEL_INSTALL_INCLUDEDIR} COMPONENT development
  FILES_MATCHING PATTERN "*.h")

install(EXPORT tarnelTargets NAMESPACE tarnel:: DESTINATION ${TARNEL_INSTALL_CMAKEDIR}
  COMPONENT development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/tarnelConfig.cmake.in
  ${PROJECT_BINARY_DIR}/tarnelConfig.cmake
  INSTALL_DESTINATION ${TARNEL_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tarnelConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tarnelConfig.cmake ${PROJECT_BINARY_DIR}/tarnelConfigVersion.cmake
  DESTINATION ${TARNEL_INSTALL_CMAKEDIR} COMPONENT development)

# pkg-config: relocatable, the prefix is found from the .pc file's own place.
file(RELATIVE_PATH TARNEL_PC_TO_PREFIX
  "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
string(REGEX REPLACE "/$" "" TARNEL_PC_TO_PREFIX "${TARNEL_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/tarnel.pc.in ${PROJECT_BINARY_DIR}/tarnel.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tarnel.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

# The shared libraries export the public classes and the host services only:
# hidden visibility keeps our helpers local, and these version scripts keep
# the template instances of the standard library and Boost local as well.
foreach(library IN ITEMS tarnel tarnel_host)
  set(map "${CMAKE_CURRENT_LIST_DIR}/lib${library}.map")
  target_link_options(${library} PRIVATE "LINKER:--version-script=${map}")
  set_property(TARGET ${library} APPEND PROPERTY LINK_DEPENDS "${map}")
endforeach()

# The Debian package (cpack -G DEB in the build directory): libraries,
# headers, the CMake and pkg-config files, tarnelctl and tarnel-sim, under
# /usr. The run-time dependencies come from dpkg-shlibdeps; the headers need
# Boost's and libcurl's development files, declared here.
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "tarnel")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "libtarnel: administration of the storage cluster from a storage node")
set(CPACK_PACKAGE_DESCRIPTION "libtarnel logs in to the cluster's REST endpoint on the local node, \
reads the cluster's capacity, creates and exports virtual disks and lists the node's data drives. \
The package holds libtarnel and libtarnel_host (the host services), their headers with the CMake \
package and pkg-config file, the command-line tool tarnelctl and the cluster simulator tarnel-sim.")
set(CPACK_PACKAGE_CONTACT "libtarnel maintainers <tarnel@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "libs")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libboost-dev (>= 1.74), libcurl4-openssl-dev | libcurl-dev")
include(CPack)

# Checks of the above. The exported symbols are checked in every build but
# the fuzzing one; the installed tree and the .deb only in a plain build
# (a sanitized library would need its runtime in every consumer).
if(TARNEL_TESTS AND NOT TARNEL_FUZZ)
  set(check_exports ${PROJECT_SOURCE_DIR}/tests/packaging/check_exports.sh)
  add_test(NAME packaging_exports_tarnel
    COMMAND ${check_exports} $<TARGET_FILE:tarnel>
            tarnel_admin tarnel_debug tarnel_session tarnel_vdisk tarnel_reason_word)
  add_test(NAME packaging_exports_host
    COMMAND ${check_exports} $<TARGET_FILE:tarnel_host>
            NqDebug RKLibCurl RKPassword RKPlatformInfo RkCancelToken RkException RkJson RkProcess
            rkmx_utils ZUSLEEP_InTeRnAl ZUSLEEP_Cancellable)
  if(NOT TARNEL_SANITIZE)
    add_test(NAME packaging_install
      COMMAND ${PROJECT_SOURCE_DIR}/tests/packaging/install_test.sh ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR})
    add_test(NAME packaging_deb
      COMMAND ${PROJECT_SOURCE_DIR}/tests/packaging/deb_test.sh ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR})
    # Both read the whole build tree and run tarnel-sim: one after the other.
    set_tests_properties(packaging_install packaging_deb PROPERTIES RESOURCE_LOCK tarnel_packaging)
  endif()
endif()
