#!/usr/bin/env bash
# cmake --install into a temporary prefix: the installed tools start without
# LD_LIBRARY_PATH (their RUNPATH), tarnelctl runs through the installed
# tarnel-sim-scratch, and the README example, built against the installed
# tree with find_package(tarnel CONFIG) and with pkg-config, runs the same way.
#
#   install_test.sh BUILD_DIR SOURCE_DIR
BUILD=$(cd "$1" && pwd)
SOURCE=$(cd "$2" && pwd)
. "$SOURCE/tests/packaging/packaging_lib.sh"

prefix=$work/prefix
cmake --install "$BUILD" --prefix "$prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log" >&2; fail "cmake --install"; }
libdir=$(find "$prefix" -name libtarnel.so.1 -printf '%h\n')
[ -n "$libdir" ] || fail "no libtarnel.so.1 under $prefix"
check_files "$libdir" \
  libtarnel.so libtarnel.so.1 libtarnel_host.so libtarnel_host.so.1 \
  cmake/tarnel/tarnelConfig.cmake cmake/tarnel/tarnelConfigVersion.cmake pkgconfig/tarnel.pc
check_files "$prefix" \
  include/tarnel/tarnel_admin.h include/tarnel/tarnel_debug.h include/tarnel/tarnel_session.h \
  include/tarnel/tarnel_vdisk.h include/tarnel/tarnel_export.h include/tarnel/NqDebug.h \
  include/tarnel/RKLibCurl.h include/tarnel/rkmx_utils.h include/tarnel/host_export.h \
  include/tarnel/json_spirit/json_spirit_value.h \
  bin/tarnelctl bin/tarnel-sim bin/tarnel-sim-scratch libexec/tarnel/rkspmhelper.py \
  share/bash-completion/completions/tarnelctl
check_libraries "$libdir"

# The tools find the libraries from wherever the tree is, alone.
unset LD_LIBRARY_PATH
mv "$prefix" "$work/moved" && prefix=$work/moved && libdir=${libdir/\/prefix\//\/moved\/}
version=$("$prefix/bin/tarnelctl" --version) || fail "the installed tarnelctl does not start"
project_version=$(sed -n 's/^project(tarnel VERSION \([0-9.]*\).*/\1/p' "$SOURCE/CMakeLists.txt")
[ "$version" = "$project_version" ] || fail "tarnelctl --version printed '$version'"
for library in libtarnel libtarnel_host; do
  resolved=$(ldd "$prefix/bin/tarnelctl" | sed -n "s/^\s*$library\.so\.1 => \(\S*\).*/\1/p")
  [ -n "$resolved" ] && [ "$(dirname "$(readlink -f "$resolved")")" = "$libdir" ] ||
    fail "tarnelctl takes $library.so.1 from '$resolved', not from $libdir"
done
check_scratch "$prefix/bin"

build_example_cmake "$prefix" "$SOURCE/examples/tarnel_example.cpp" "$work/example-cmake"
build_example_pkgconfig "$prefix" "$libdir" "$SOURCE/examples/tarnel_example.cpp" "$work/example-pc"
run_example "$prefix/bin/tarnel-sim-scratch" "$work/example-cmake" "$libdir" disk-cmake
run_example "$prefix/bin/tarnel-sim-scratch" "$work/example-pc" "$libdir" disk-pkgconfig
