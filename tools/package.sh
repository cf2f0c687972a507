#!/usr/bin/env bash
# Builds the Debian packages (debian/) into OUT_DIR: dpkg-buildpackage -b on
# a copy of the source tree (the files git knows, or every file but the build
# directories), without tests, two jobs, niced. OUT_DIR then holds the .deb
# files, the .changes and .buildinfo, build.log and `fingerprint`: a hash of
# every source file and of the versions of the build-dependencies, the
# compiler, the C and C++ libraries' headers, binutils and dpkg-dev. When OUT_DIR already holds the packages of the same
# fingerprint, they are kept and nothing is built.
#
#   tools/package.sh [OUT_DIR]      (default: build-package in the source tree)
#
# Exit status: 0 with the packages in OUT_DIR, 1 when the build failed (the
# end of its log on stderr), 2 when build-dependencies are missing.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "${1:-$ROOT/build-package}"
OUT=$(cd "${1:-$ROOT/build-package}" && pwd)
export DEB_BUILD_OPTIONS="nocheck noddebs parallel=2"

# One build at a time per output directory (./run package and the test).
exec 9>"$OUT/.lock"
flock -w 3600 9 || { echo "package: $OUT is locked by another build" >&2; exit 1; }

source_files() {
  if git -C "$ROOT" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -C "$ROOT" ls-files -z --cached --others --exclude-standard
  else
    (cd "$ROOT" && find . -path ./.git -prune -o -path './build*' -prune -o \
      -path ./fuzz/artifacts -prune -o \( -type f -o -type l \) -printf '%P\0')
  fi | (cd "$ROOT" && while IFS= read -r -d '' f; do
    # Tracked files deleted in the working tree are not part of it.
    if [ -f "$f" ] || [ -L "$f" ]; then printf '%s\0' "$f"; fi
  done) | sort -z
}

# The build-dependencies of debian/control, by name.
build_depends() {
  sed -n '/^Build-Depends:/,/^[A-Z]/p' "$ROOT/debian/control" | sed 's/^Build-Depends://' |
    grep -v '^[A-Z]' | tr ',' '\n' | sed 's/^ *//; s/[ (].*//' | grep -v '^$' |
    sed 's/^debhelper-compat$/debhelper/'
}

# The packages of the compiler, the C++ library's and libc's headers.
toolchain() {
  local file
  for file in "$(readlink -f "$(command -v c++)")" "$(c++ -print-file-name=libstdc++.so)" \
              /usr/include/stdio.h; do
    dpkg -S "$file" 2>/dev/null | sed 's/[:,].*//'
  done
}

fingerprint() {
  {
    (cd "$ROOT" && source_files | xargs -0 -r sha256sum --)
    # shellcheck disable=SC2046  # package names are words
    dpkg-query -W -f='${Package} ${Version}\n' dpkg-dev binutils $(toolchain) $(build_depends) 2>&1
    echo "$DEB_BUILD_OPTIONS"
  } | sha256sum | cut -d' ' -f1
}

packages_present() {
  [ -f "$OUT/packages" ] || return 1
  local deb
  while read -r deb; do
    [ -f "$OUT/$deb" ] || return 1
  done <"$OUT/packages"
}

print=$(fingerprint)
if [ -f "$OUT/fingerprint" ] && [ "$(cat "$OUT/fingerprint")" = "$print" ] && packages_present; then
  echo "package: $OUT holds the packages built from these sources; kept"
  exit 0
fi

if ! missing=$(cd "$ROOT" && dpkg-checkbuilddeps 2>&1); then
  echo "package: $missing" >&2
  exit 2
fi

version=$(dpkg-parsechangelog -l "$ROOT/debian/changelog" -S Version)
rm -rf "$OUT/tree" "$OUT/fingerprint" "$OUT/packages"
find "$OUT" -maxdepth 1 \( -name '*.deb' -o -name '*.changes' -o -name '*.buildinfo' \) -delete
tree=$OUT/tree/tarnel-$version
mkdir -p "$tree"
(cd "$ROOT" && source_files | tar --null -T - -cf -) | tar -xf - -C "$tree"

echo "package: dpkg-buildpackage -b (DEB_BUILD_OPTIONS=$DEB_BUILD_OPTIONS, log: $OUT/build.log)"
if ! (cd "$tree" && nice -n 10 dpkg-buildpackage -b -uc -us) >"$OUT/build.log" 2>&1; then
  tail -n 40 "$OUT/build.log" >&2
  echo "package: dpkg-buildpackage failed (log: $OUT/build.log)" >&2
  exit 1
fi
mv "$OUT/tree"/*.deb "$OUT/tree"/*.changes "$OUT/tree"/*.buildinfo "$OUT/"
rm -rf "$OUT/tree"
(cd "$OUT" && ls -1 -- *.deb) >"$OUT/packages"
echo "$print" >"$OUT/fingerprint"
echo "package: built $(wc -l <"$OUT/packages") packages into $OUT"
