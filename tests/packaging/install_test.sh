#!/usr/bin/env bash
# cmake --install into a temporary prefix, then the README example built
# against the installed tree with find_package(tarnel CONFIG) and with
# pkg-config, each run against the installed tarnel-sim.
#
#   install_test.sh BUILD_DIR SOURCE_DIR
BUILD=$(cd "$1" && pwd)
SOURCE=$(cd "$2" && pwd)
. "$SOURCE/tests/packaging/packaging_lib.sh"

prefix=$work/prefix
cmake --install "$BUILD" --prefix "$prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log" >&2; fail "cmake --install"; }
libdir=$prefix/lib
check_files "$prefix" \
  lib/libtarnel.so lib/libtarnel.so.1 lib/libtarnel_host.so lib/libtarnel_host.so.1 \
  include/tarnel/tarnel_admin.h include/tarnel/tarnel_debug.h include/tarnel/tarnel_session.h \
  include/tarnel/tarnel_vdisk.h include/tarnel/tarnel_export.h include/tarnel/NqDebug.h \
  include/tarnel/RKLibCurl.h include/tarnel/rkmx_utils.h include/tarnel/host_export.h \
  include/tarnel/json_spirit/json_spirit_value.h \
  lib/cmake/tarnel/tarnelConfig.cmake lib/cmake/tarnel/tarnelConfigVersion.cmake \
  lib/pkgconfig/tarnel.pc bin/tarnelctl bin/tarnel-sim
check_libraries "$libdir"

build_example_cmake "$prefix" "$SOURCE/examples/tarnel_example.cpp" "$work/example-cmake"
build_example_pkgconfig "$prefix" "$libdir" "$SOURCE/examples/tarnel_example.cpp" "$work/example-pc"

export LD_LIBRARY_PATH=$libdir
start_sim "$prefix/bin/tarnel-sim"
provision "$prefix/bin/tarnelctl"
run_example "$work/example-cmake" "$libdir" disk-cmake
run_example "$work/example-pc" "$libdir" disk-pkgconfig
