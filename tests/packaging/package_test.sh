#!/usr/bin/env bash
# The Debian packages (tools/package.sh into build-package/, or those it made
# from the same sources): lintian clean, each package's files and
# dependencies, then all of them installed into a temporary root with dpkg
# (maintainer scripts run there, never on this system): the directories
# tarnelctl creates, the drive helper's link and directories, purge; the
# installed tools run through the installed tarnel-sim-scratch; the example
# that libtarnel-dev ships built against it with find_package and with
# pkg-config.
#
#   package_test.sh SOURCE_DIR
# Exit status 77 (skipped) where dpkg-buildpackage is missing.
SOURCE=$(cd "$1" && pwd)
if ! command -v dpkg-buildpackage >/dev/null; then
  echo "SKIP: dpkg-buildpackage is missing (Debian's dpkg-dev): the packages are not built here"
  exit 77
fi
. "$SOURCE/tests/packaging/packaging_lib.sh"

out=$SOURCE/build-package
"$SOURCE/tools/package.sh" "$out" || fail "tools/package.sh"
version=$(dpkg-parsechangelog -l "$SOURCE/debian/changelog" -S Version)
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
deb() { # PACKAGE: its file
  local file
  for file in "$out/${1}_${version}_$arch.deb" "$out/${1}_${version}_all.deb"; do
    [ -f "$file" ] && { echo "$file"; return; }
  done
  fail "no package $1 $version in $out"
}
packages=(libtarnel1 libtarnel-dev tarnelctl tarnel-sim tarnel-drive-helper)
debs=()
for package in "${packages[@]}"; do debs+=("$(deb "$package")"); done

lintian --fail-on error,warning "${debs[@]}" >"$work/lintian.txt" 2>&1 ||
  { cat "$work/lintian.txt" >&2; fail "lintian reports errors or warnings"; }

# check_contents PACKAGE PATTERN...: its files (not directories, not the
# package's documentation or lintian overrides) each match a PATTERN, and
# each PATTERN matches a file.
check_contents() {
  local package=$1 file pattern matched
  shift
  local files
  files=$(dpkg-deb -c "$(deb "$package")" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./||' |
    grep -Ev '^usr/share/(doc|lintian/overrides)/')
  for file in $files; do
    matched=0
    for pattern in "$@"; do
      # shellcheck disable=SC2053  # a glob
      [[ $file == $pattern ]] && matched=1 && break
    done
    [ $matched -eq 1 ] || fail "$package holds $file"
  done
  for pattern in "$@"; do
    matched=0
    for file in $files; do
      # shellcheck disable=SC2053
      [[ $file == $pattern ]] && matched=1 && break
    done
    [ $matched -eq 1 ] || fail "$package holds no $pattern"
  done
}
lib=usr/lib/$multiarch
check_contents libtarnel1 "$lib/libtarnel.so.1" "$lib/libtarnel.so.1.*" \
  "$lib/libtarnel_host.so.1" "$lib/libtarnel_host.so.1.*"
check_contents libtarnel-dev usr/include/tarnel/tarnel_admin.h usr/include/tarnel/RKLibCurl.h \
  usr/include/tarnel/json_spirit/json_spirit_value.h "usr/include/tarnel/*.h" \
  "$lib/libtarnel.so" "$lib/libtarnel_host.so" "$lib/cmake/tarnel/tarnelConfig.cmake" \
  "$lib/cmake/tarnel/*.cmake" "$lib/pkgconfig/tarnel.pc"
check_contents tarnelctl usr/bin/tarnelctl usr/share/man/man1/tarnelctl.1.gz \
  usr/share/bash-completion/completions/tarnelctl
check_contents tarnel-sim usr/bin/tarnel-sim usr/bin/tarnel-sim-scratch \
  usr/share/man/man1/tarnel-sim.1.gz usr/share/man/man1/tarnel-sim-scratch.1.gz
check_contents tarnel-drive-helper usr/libexec/tarnel/rkspmhelper.py
listing=$(dpkg-deb -c "$(deb libtarnel-dev)")
for doc in README.md.gz examples/tarnel_example.cpp; do
  grep -q " \./usr/share/doc/libtarnel-dev/$doc\$" <<<"$listing" ||
    fail "libtarnel-dev holds no /usr/share/doc/libtarnel-dev/$doc"
done

field() { dpkg-deb -f "$(deb "$1")" "$2"; }
for package in libtarnel1 tarnelctl tarnel-sim; do
  ! grep -q -- '-dev\b' <<<"$(field $package Depends)" ||
    fail "$package depends on a development package: $(field $package Depends)"
done
for needed in "libtarnel1 (= $version)" libboost-dev libcurl4-openssl-dev; do
  grep -qF "$needed" <<<"$(field libtarnel-dev Depends)" ||
    fail "libtarnel-dev does not depend on $needed: $(field libtarnel-dev Depends)"
done
grep -qF "libtarnel1 (>= $version)" <<<"$(field tarnelctl Depends)" ||
  fail "tarnelctl does not depend on libtarnel1 (>= $version): $(field tarnelctl Depends)"
shlibs=$(dpkg-deb --ctrl-tarfile "$(deb libtarnel1)" | tar -xO ./shlibs)
for library in libtarnel libtarnel_host; do
  grep -qx "$library 1 libtarnel1 (>= $version)" <<<"$shlibs" ||
    fail "libtarnel1's shlibs lack $library: $shlibs"
done
echo "lintian clean; files and dependencies of ${packages[*]}: ok"

# ---- installed into a temporary root ----------------------------------------
root=$work/root
mkdir -p "$root/etc" "$root/var/log" "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
dpkg_root() {
  dpkg --root="$root" --log="$work/dpkg.log" --force-script-chrootless --force-not-root \
    --force-depends "$@" >>"$work/dpkg.out" 2>&1 || { cat "$work/dpkg.out" >&2; fail "dpkg $*"; }
}
mode_of() { stat -c '%a %F' "$1" 2>/dev/null || echo missing; }
link=$root/opt/kestrix/Bayhold/rkspmhelper.py
helper=/usr/libexec/tarnel/rkspmhelper.py

dpkg_root -i "${debs[@]}"
[ "$(mode_of "$root/etc/tarnel")" = "700 directory" ] ||
  fail "/etc/tarnel: $(mode_of "$root/etc/tarnel")"
[ "$(mode_of "$root/var/log/tarnel")" = "750 directory" ] ||
  fail "/var/log/tarnel: $(mode_of "$root/var/log/tarnel")"
[ -z "$(ls -A "$root/etc/tarnel")" ] || fail "a package put files into /etc/tarnel"
[ "$(readlink "$link")" = "$helper" ] && [ -x "$root$helper" ] ||
  fail "the drive helper's fixed path is not linked to $helper"
created=$root/var/lib/tarnel-drive-helper/created-dirs
[ "$(cat "$created" 2>/dev/null)" = "$(printf '/opt\n/opt/kestrix\n/opt/kestrix/Bayhold')" ] ||
  fail "tarnel-drive-helper recorded '$(cat "$created" 2>/dev/null)' as the directories it made"

# The installed tools, with the libraries of the root.
libdir=$root/usr/lib/$multiarch
export LD_LIBRARY_PATH=$libdir
resolved=$(ldd "$root/usr/bin/tarnelctl" | sed -n 's/^\s*libtarnel\.so\.1 => \(\S*\).*/\1/p')
[ "$resolved" = "$libdir/libtarnel.so.1" ] || fail "tarnelctl takes libtarnel.so.1 from '$resolved'"
[ "$("$root/usr/bin/tarnelctl" --version)" = "$version" ] ||
  fail "the installed tarnelctl --version"
check_scratch "$root/usr/bin"
# The example as libtarnel-dev ships it.
example=$root/usr/share/doc/libtarnel-dev/examples/tarnel_example.cpp
build_example_cmake "$root/usr" "$example" "$work/example-cmake"
build_example_pkgconfig "$root/usr" "$libdir" "$example" "$work/example-pc"
run_example "$root/usr/bin/tarnel-sim-scratch" "$work/example-cmake" "$libdir" disk-cmake
run_example "$root/usr/bin/tarnel-sim-scratch" "$work/example-pc" "$libdir" disk-pkgconfig

# A key store and a log written, then the packages again: both kept, and
# the directories' modes too.
chmod 0711 "$root/etc/tarnel"
TARNEL_KEYSTORE=$root/etc/tarnel/keystore.conf "$root/usr/bin/tarnelctl" keystore set-cluster kept \
  >/dev/null || fail "tarnelctl keystore set-cluster into the root"
cp "$root/etc/tarnel/keystore.conf" "$work/keystore.before"
echo "a log line" >"$root/var/log/tarnel/RKTarnel.log"
dpkg_root -i "${debs[@]}"
cmp -s "$root/etc/tarnel/keystore.conf" "$work/keystore.before" ||
  fail "reinstalling changed the key store"
[ "$(mode_of "$root/etc/tarnel")" = "711 directory" ] ||
  fail "reinstalling reset /etc/tarnel's mode"
[ -f "$root/var/log/tarnel/RKTarnel.log" ] || fail "reinstalling removed the log"

# Purge: the log directory and the helper's link go; the key store stays.
dpkg_root -P tarnel-sim tarnelctl tarnel-drive-helper
[ ! -e "$root/var/log/tarnel" ] || fail "purging tarnelctl left /var/log/tarnel"
cmp -s "$root/etc/tarnel/keystore.conf" "$work/keystore.before" ||
  fail "purging removed the key store"
[ ! -e "$link" ] && [ ! -L "$link" ] || fail "purging tarnel-drive-helper left its link"
[ ! -e "$root/opt" ] && [ ! -e "$root/var/lib/tarnel-drive-helper" ] ||
  fail "purging tarnel-drive-helper left the directories it made, or its record of them"
[ ! -e "$root/usr/bin/tarnelctl" ] || fail "purging left /usr/bin/tarnelctl"

# A helper of the node's own at the fixed path, in the vendor's directories:
# never replaced, never removed; nor is a link of the node's own.
mkdir -p "${link%/*}"
printf '#!/bin/sh\n' >"$link"
dpkg_root -i "$(deb tarnel-drive-helper)"
[ ! -L "$link" ] && [ "$(cat "$link")" = "#!/bin/sh" ] ||
  fail "installing replaced the node's helper"
dpkg_root -P tarnel-drive-helper
[ "$(cat "$link" 2>/dev/null)" = "#!/bin/sh" ] || fail "purging removed the node's helper"
rm "$link" && ln -s /usr/local/bin/vendor-helper "$link"
dpkg_root -i "$(deb tarnel-drive-helper)"
dpkg_root -P tarnel-drive-helper
[ "$(readlink "$link")" = /usr/local/bin/vendor-helper ] ||
  fail "purging removed the node's own link"
# Of the directories it made, purging removes only the empty ones: here
# /opt/kestrix holds a file of the node's since, and /opt is not ours.
rm -r "$root/opt/kestrix"
dpkg_root -i "$(deb tarnel-drive-helper)"
touch "$root/opt/kestrix/vendor-file"
dpkg_root -P tarnel-drive-helper
[ ! -e "$root/opt/kestrix/Bayhold" ] && [ -f "$root/opt/kestrix/vendor-file" ] ||
  fail "purging removed a directory that was not empty, or kept an empty one it made"
echo "installed into $root: directories, helper link, tools, example, purge: ok"
