# Installation, the CMake package, pkg-config, the man pages and the bash
# completion. LIBDIR is lib, or lib/<multiarch> for the prefix /usr on
# Debian (GNUInstallDirs), as in the Debian packages (debian/):
#
#   <prefix>/LIBDIR/libtarnel.so.1, libtarnel_host.so.1 (+ .so links for linking)
#   <prefix>/include/tarnel/        public headers, host service headers,
#                                   json_spirit/ (included flat: "tarnel_admin.h")
#   <prefix>/LIBDIR/cmake/tarnel/   find_package(tarnel CONFIG): tarnel::tarnel, tarnel::host
#   <prefix>/LIBDIR/pkgconfig/tarnel.pc
#   <prefix>/bin/tarnelctl, tarnel-sim, tarnel-sim-scratch
#   <prefix>/libexec/tarnel/rkspmhelper.py                   the reference drive helper
#   <prefix>/share/man/man1/tarnelctl.1, tarnel-sim.1, tarnel-sim-scratch.1   (help2man)
#   <prefix>/share/bash-completion/completions/tarnelctl
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
install(TARGETS tarnelctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
install(TARGETS tarnel-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT simulator)
install(FILES ${PROJECT_SOURCE_DIR}/tools/tarnelctl/tarnelctl.bash-completion
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME tarnelctl
  COMPONENT tools)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/rkspmhelper/rkspmhelper.py
  DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/tarnel COMPONENT helper)

# tarnel-sim-scratch: tools/sim_scratch.sh with its version filled in, built
# beside tarnel-sim (where it looks for the simulator first).
set(TARNEL_VERSION ${PROJECT_VERSION})
set(TARNEL_SIM_SCRATCH ${PROJECT_BINARY_DIR}/tools/tarnel-sim/tarnel-sim-scratch)
configure_file(${PROJECT_SOURCE_DIR}/tools/sim_scratch.sh ${TARNEL_SIM_SCRATCH} @ONLY)
install(PROGRAMS ${TARNEL_SIM_SCRATCH} DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT simulator)

# The installed executables find our libraries from any prefix: a RUNPATH
# relative to their own place, unless the libraries go to a directory the
# dynamic linker searches anyway (the Debian packages: /usr/lib/<multiarch>).
# The check is against the prefix configured; `cmake --install --prefix`
# keeps the relative layout, so the RUNPATH holds there too.
set(system_libdirs ${CMAKE_PLATFORM_IMPLICIT_LINK_DIRECTORIES} ${CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES})
if(NOT "${CMAKE_INSTALL_FULL_LIBDIR}" IN_LIST system_libdirs)
  file(RELATIVE_PATH bin_to_lib "${CMAKE_INSTALL_FULL_BINDIR}" "${CMAKE_INSTALL_FULL_LIBDIR}")
  set_target_properties(tarnelctl tarnel-sim PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
  # libtarnel finds libtarnel_host beside it, whoever loads it.
  set_target_properties(tarnel PROPERTIES INSTALL_RPATH "$ORIGIN")
endif()

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

# Man pages from the tools' --help and --version (help2man), with the
# sections --help lacks from an include file beside each tool; tarnelctl's
# page also gets one section per subcommand from their --help. AUTO: when
# help2man is found, in a build without sanitizers (the tools run at build
# time). The Debian build asks for ON.
set(TARNEL_MANPAGES AUTO CACHE STRING "Generate the man pages with help2man (ON, OFF, AUTO)")
find_program(HELP2MAN help2man)
set(TARNEL_MAN_DIR ${PROJECT_BINARY_DIR}/man)
if(TARNEL_MANPAGES STREQUAL "AUTO")
  if(HELP2MAN AND NOT TARNEL_SANITIZE AND NOT TARNEL_TSAN AND NOT TARNEL_FUZZ)
    set(TARNEL_MANPAGES ON)
  else()
    set(TARNEL_MANPAGES OFF)
  endif()
elseif(TARNEL_MANPAGES AND NOT HELP2MAN)
  message(FATAL_ERROR "TARNEL_MANPAGES=ON needs help2man")
endif()
if(TARNEL_MANPAGES)
  set(h2m ${HELP2MAN} --no-info --no-discard-stderr --section=1)
  add_custom_command(OUTPUT ${TARNEL_MAN_DIR}/tarnelctl-commands.h2m
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TARNEL_MAN_DIR}
    COMMAND ${PROJECT_SOURCE_DIR}/tools/tarnelctl/man_commands.sh $<TARGET_FILE:tarnelctl>
            ${TARNEL_MAN_DIR}/tarnelctl-commands.h2m
    DEPENDS tarnelctl ${PROJECT_SOURCE_DIR}/tools/tarnelctl/man_commands.sh
    VERBATIM)
  add_custom_command(OUTPUT ${TARNEL_MAN_DIR}/tarnelctl.1
    COMMAND ${h2m} "--name=administer this node's storage cluster through libtarnel"
            --include=${PROJECT_SOURCE_DIR}/tools/tarnelctl/tarnelctl.h2m
            --include=${TARNEL_MAN_DIR}/tarnelctl-commands.h2m
            --output=${TARNEL_MAN_DIR}/tarnelctl.1 $<TARGET_FILE:tarnelctl>
    DEPENDS tarnelctl ${PROJECT_SOURCE_DIR}/tools/tarnelctl/tarnelctl.h2m
            ${TARNEL_MAN_DIR}/tarnelctl-commands.h2m
    VERBATIM)
  add_custom_command(OUTPUT ${TARNEL_MAN_DIR}/tarnel-sim.1
    COMMAND ${h2m} "--name=cluster simulator for libtarnel and tarnelctl"
            --version-string=${PROJECT_VERSION}
            --include=${PROJECT_SOURCE_DIR}/tools/tarnel-sim/tarnel-sim.h2m
            --output=${TARNEL_MAN_DIR}/tarnel-sim.1 $<TARGET_FILE:tarnel-sim>
    DEPENDS tarnel-sim ${PROJECT_SOURCE_DIR}/tools/tarnel-sim/tarnel-sim.h2m
    VERBATIM)
  add_custom_command(OUTPUT ${TARNEL_MAN_DIR}/tarnel-sim-scratch.1
    COMMAND ${h2m} "--name=run a command against tarnel-sim with a scratch key store"
            --include=${PROJECT_SOURCE_DIR}/tools/sim_scratch.h2m
            --output=${TARNEL_MAN_DIR}/tarnel-sim-scratch.1 ${TARNEL_SIM_SCRATCH}
    DEPENDS ${TARNEL_SIM_SCRATCH} ${PROJECT_SOURCE_DIR}/tools/sim_scratch.h2m
    VERBATIM)
  add_custom_target(manpages ALL DEPENDS
    ${TARNEL_MAN_DIR}/tarnelctl.1 ${TARNEL_MAN_DIR}/tarnel-sim.1 ${TARNEL_MAN_DIR}/tarnel-sim-scratch.1)
  install(FILES ${TARNEL_MAN_DIR}/tarnelctl.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  install(FILES ${TARNEL_MAN_DIR}/tarnel-sim.1 ${TARNEL_MAN_DIR}/tarnel-sim-scratch.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT simulator)
endif()

# Checks of the above. The exported symbols are checked in every build but
# the fuzzing one; the installed tree and the Debian packages only in a
# plain build (a sanitized library would need its runtime in every consumer).
if(TARNEL_TESTS AND NOT TARNEL_FUZZ)
  set(check_exports ${PROJECT_SOURCE_DIR}/tests/packaging/check_exports.sh)
  add_test(NAME packaging_exports_tarnel
    COMMAND ${check_exports} $<TARGET_FILE:tarnel>
            tarnel_admin tarnel_debug tarnel_session tarnel_vdisk tarnel_reason_word
            tarnel_node_user_name)
  add_test(NAME packaging_exports_host
    COMMAND ${check_exports} $<TARGET_FILE:tarnel_host>
            NqDebug RKLibCurl RKPassword RKPlatformInfo RkCancelToken RkException RkJson RkProcess
            rkmx_utils ZUSLEEP_InTeRnAl ZUSLEEP_Cancellable)
  if(NOT TARNEL_SANITIZE)
    add_test(NAME packaging_install
      COMMAND ${PROJECT_SOURCE_DIR}/tests/packaging/install_test.sh ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR})
    # The packages are built from the sources into build-package/ (as
    # ./run package does, which they reuse when built from the same sources),
    # with two jobs: the test takes two of CTest's slots.
    add_test(NAME packaging_debian
      COMMAND ${PROJECT_SOURCE_DIR}/tests/packaging/package_test.sh ${PROJECT_SOURCE_DIR})
    set_tests_properties(packaging_debian PROPERTIES SKIP_RETURN_CODE 77 PROCESSORS 2 TIMEOUT 1800)
    # Both run tarnel-sim and build the example: one after the other.
    set_tests_properties(packaging_install packaging_debian PROPERTIES RESOURCE_LOCK tarnel_packaging)
    # Every option of tarnelctl's --help in the completion and the man page.
    if(TARNEL_MANPAGES)
      set(man_page ${TARNEL_MAN_DIR}/tarnelctl.1)
    else()
      set(man_page -)
    endif()
    add_test(NAME packaging_cli_docs
      COMMAND ${PROJECT_SOURCE_DIR}/tests/packaging/cli_docs_test.sh $<TARGET_FILE:tarnelctl>
              ${PROJECT_SOURCE_DIR}/tools/tarnelctl/tarnelctl.bash-completion ${man_page})
  endif()
endif()
