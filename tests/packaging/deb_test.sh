#!/usr/bin/env bash
# CPack's .deb: its control fields and contents, then the package unpacked
# with dpkg -x into a temporary directory: tarnelctl --help from there, and
# the README example built against the unpacked tree (find_package and
# pkg-config) and run against the unpacked tarnel-sim.
#
#   deb_test.sh BUILD_DIR SOURCE_DIR
BUILD=$(cd "$1" && pwd)
SOURCE=$(cd "$2" && pwd)
. "$SOURCE/tests/packaging/packaging_lib.sh"

(cd "$work" && cpack -G DEB -B "$work/package" --config "$BUILD/CPackConfig.cmake") \
  >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log" >&2; fail "cpack -G DEB"; }
deb=$(find "$work/package" -maxdepth 1 -name 'tarnel_*.deb')
[ -f "$deb" ] || fail "cpack made no tarnel_*.deb"

# Run-time dependencies found by dpkg-shlibdeps, and the headers' own.
depends=$(dpkg-deb -f "$deb" Depends)
for package in libc6 libstdc++6 libcurl4 libssl3 libcpp-httplib libboost-dev libcurl4-openssl-dev; do
  grep -q "\b$package" <<<"$depends" || fail "Depends lacks $package: $depends"
done
dpkg-deb -f "$deb" Package Version Architecture | sed 's/^/  /'
# The package declares its own libraries' shlibs.
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./shlibs | grep -q '^libtarnel 1 ' ||
  fail "the package has no shlibs entry for libtarnel"

root=$work/root
dpkg -x "$deb" "$root"
usr=$root/usr
libdir=$usr/lib
check_files "$usr" \
  lib/libtarnel.so lib/libtarnel.so.1 lib/libtarnel_host.so lib/libtarnel_host.so.1 \
  include/tarnel/tarnel_admin.h include/tarnel/json_spirit/json_spirit_value.h \
  include/tarnel/RKLibCurl.h lib/cmake/tarnel/tarnelConfig.cmake lib/pkgconfig/tarnel.pc \
  bin/tarnelctl bin/tarnel-sim
check_libraries "$libdir"

export LD_LIBRARY_PATH=$libdir
help=$("$usr/bin/tarnelctl" --help) || fail "tarnelctl --help from the unpacked package"
grep -q "capacity" <<<"$help" || fail "tarnelctl --help does not list its commands"

build_example_cmake "$usr" "$SOURCE/examples/tarnel_example.cpp" "$work/example-cmake"
build_example_pkgconfig "$usr" "$libdir" "$SOURCE/examples/tarnel_example.cpp" "$work/example-pc"
start_sim "$usr/bin/tarnel-sim"
provision "$usr/bin/tarnelctl"
run_example "$work/example-cmake" "$libdir" disk-cmake
run_example "$work/example-pc" "$libdir" disk-pkgconfig
