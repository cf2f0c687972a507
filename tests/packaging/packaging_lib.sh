# Shared steps of the packaging tests (sourced): a scratch directory, the
# README example built against an installed tree both ways, and runs of the
# installed programs through the installed tarnel-sim-scratch. Everything
# lives in one temporary directory, removed on exit.

set -euo pipefail

. "$SOURCE/tools/sim_scratch.sh"
scratch_open tarnel-packaging

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# check_files ROOT PATH...: every PATH exists under ROOT.
check_files() {
  local root=$1
  shift
  for path in "$@"; do
    [ -e "$root/$path" ] || fail "$root/$path is missing"
  done
}

# check_libraries LIBDIR: the SONAMEs, and libtarnel needing libtarnel_host.
check_libraries() {
  local libdir=$1
  readelf -d "$libdir/libtarnel.so.1" | grep -q 'SONAME.*\[libtarnel\.so\.1\]' ||
    fail "libtarnel.so.1 does not carry the SONAME libtarnel.so.1"
  readelf -d "$libdir/libtarnel_host.so.1" | grep -q 'SONAME.*\[libtarnel_host\.so\.1\]' ||
    fail "libtarnel_host.so.1 does not carry the SONAME libtarnel_host.so.1"
  readelf -d "$libdir/libtarnel.so.1" | grep -q 'NEEDED.*\[libtarnel_host\.so\.1\]' ||
    fail "libtarnel.so.1 does not record libtarnel_host.so.1 as needed"
}

# build_example_cmake PREFIX SOURCE OUT: the README example through
# find_package(tarnel CONFIG) against the tree at PREFIX only.
build_example_cmake() {
  local prefix=$1 source=$2 out=$3
  local consumer=$work/consumer-cmake
  mkdir -p "$consumer"
  cat >"$consumer/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.18)
project(tarnel_consumer CXX)
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
find_package(tarnel 1 CONFIG REQUIRED)
if(NOT TARGET tarnel::tarnel OR NOT TARGET tarnel::host)
  message(FATAL_ERROR "tarnel::tarnel or tarnel::host missing")
endif()
add_executable(tarnel_example "$source")
target_compile_options(tarnel_example PRIVATE -Wall -Wextra -Wpedantic -Werror)
target_link_libraries(tarnel_example PRIVATE tarnel::tarnel)
CMAKE
  cmake -S "$consumer" -B "$consumer/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
    -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF >"$work/consumer-cmake.log" 2>&1 ||
    { cat "$work/consumer-cmake.log" >&2; fail "configuring the find_package consumer"; }
  grep -q "tarnel_DIR:PATH=$prefix/" "$consumer/build/CMakeCache.txt" ||
    fail "find_package(tarnel) did not take the package under $prefix"
  cmake --build "$consumer/build" >>"$work/consumer-cmake.log" 2>&1 ||
    { cat "$work/consumer-cmake.log" >&2; fail "building the example with find_package"; }
  cp "$consumer/build/tarnel_example" "$out"
}

# build_example_pkgconfig PREFIX LIBDIR SOURCE OUT: the README example
# compiled with the flags of `pkg-config tarnel` from the tree at PREFIX.
build_example_pkgconfig() {
  local prefix=$1 libdir=$2 source=$3 out=$4
  local flags
  flags=$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs tarnel) ||
    fail "pkg-config does not find tarnel under $libdir/pkgconfig"
  case "$flags" in
    *"-I$prefix/"*) ;;
    *) fail "pkg-config's include directory is not under $prefix: $flags" ;;
  esac
  # shellcheck disable=SC2086  # the flags are words
  c++ -std=c++17 -Wall -Wextra -Wpedantic -Werror "$source" $flags -o "$out" ||
    fail "building the example with pkg-config"
}

# run_example SCRATCH EXAMPLE LIBDIR DISK: the example through the installed
# tarnel-sim-scratch (a simulator and a key store of its own), with the
# libraries resolved from LIBDIR.
run_example() {
  local scratch=$1 example=$2 libdir=$3 disk=$4
  local resolved
  resolved=$(LD_LIBRARY_PATH=$libdir ldd "$example" | sed -n 's/^\s*libtarnel\.so\.1 => \(\S*\).*/\1/p')
  [ "$(dirname "$resolved")" = "$libdir" ] ||
    fail "$example resolves libtarnel.so.1 to '$resolved', not into $libdir"
  local output
  output=$(LD_LIBRARY_PATH=$libdir "$scratch" -- "$example" "$disk" 2>&1) ||
    { echo "$output" >&2; fail "tarnel-sim-scratch -- $example $disk failed"; }
  for line in "capacity: 12.5 TB" "created $disk" "exported $disk to $(uname -n)"; do
    grep -qxF "$line" <<<"$output" || { echo "$output" >&2; fail "no line '$line' from $example"; }
  done
  echo "$example $disk: ok"
}

# check_scratch BINDIR: the installed tarnelctl through the installed
# tarnel-sim-scratch (both from BINDIR, as the scratch command finds them):
# the capacity it reports, COMMAND's exit status passed on, and the
# simulator and scratch directory gone afterwards.
check_scratch() {
  local bindir=$1 output status=0
  output=$("$bindir/tarnel-sim-scratch" --capacity 3.5TB -- "$bindir/tarnelctl" capacity 2>&1) ||
    { echo "$output" >&2; fail "tarnel-sim-scratch -- tarnelctl capacity"; }
  grep -q "^Cluster capacity: 3.5 TB" <<<"$output" ||
    fail "tarnelctl capacity through tarnel-sim-scratch printed: $output"
  output=$("$bindir/tarnel-sim-scratch" -- /bin/sh -c \
    'echo "$TARNEL_SIM_PORT ${TARNEL_KEYSTORE%/*}"; exit 7') || status=$?
  [ "$status" -eq 7 ] || fail "tarnel-sim-scratch exited $status, not COMMAND's 7"
  local sim_port=${output%% *} scratch_dir=${output#* }
  [ -n "$sim_port" ] && [ -n "$scratch_dir" ] ||
    fail "no TARNEL_SIM_PORT or TARNEL_KEYSTORE: $output"
  [ ! -e "$scratch_dir" ] || fail "tarnel-sim-scratch left $scratch_dir behind"
  ! (exec 3<>"/dev/tcp/127.0.0.1/$sim_port") 2>/dev/null ||
    fail "the simulator still listens on port $sim_port"
  echo "tarnel-sim-scratch: tarnelctl capacity, exit status, clean-up: ok"
}
