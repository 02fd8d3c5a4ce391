#!/usr/bin/env bash
# Builds the Debian package from a configured build directory, checks it
# with lintian, installs it with apt on this machine, checks the installed
# programs, the desktop entry, the software-centre metadata and the manual
# pages, and removes the package again. Debian 12, as root (or with sudo).
#
#   packaging/check-deb.sh <build dir>
#
# Needs Debian's adb at /usr/bin/adb and no other adb in an earlier place:
# the installed kelvane-doctor must report it as "System adb".
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 <build dir>" >&2
  exit 2
fi
cd "$(dirname "$0")/.."
# as_root, debian_installed, install_debian
source packaging/install-helpers.sh
build_dir=$(cd "$1" && pwd)

fail() {
  echo "check-deb: $*" >&2
  exit 1
}
[ -f "$build_dir/CPackConfig.cmake" ] && [ -f "$build_dir/build-facts.sh" ] ||
  fail "$build_dir is not a configured Kelvane build directory"
# The package's name, the application's id and the activity log's path, as
# the build defines them.
source "$build_dir/build-facts.sh"

system_adb=/usr/bin/adb
bin_dir=/usr/bin
desktop_entry=/usr/share/applications/$app_id.desktop
metainfo=/usr/share/metainfo/$app_id.metainfo.xml
icon_dir=/usr/share/icons/hicolor/scalable/apps
manual_pages=(kelvane kelvane-doctor)
# What the package holds, and nothing else.
expected_files="./usr/bin/kelvane
./usr/bin/kelvane-doctor
./usr/share/applications/$app_id.desktop
./usr/share/doc/$package/changelog.Debian.gz
./usr/share/doc/$package/copyright
./usr/share/icons/hicolor/scalable/apps/kelvane.svg
./usr/share/man/man1/kelvane-doctor.1.gz
./usr/share/man/man1/kelvane.1.gz
./usr/share/metainfo/$app_id.metainfo.xml"
# The tools this check uses: CPack's library dependencies (dpkg-shlibdeps,
# file), lintian, the validators of the desktop entry and the software-centre
# metadata, man, adb, and the window's smoke test (a virtual X server),
# Python for the JSON.
tools=(dpkg-dev file lintian desktop-file-utils appstream man-db adb xvfb xauth python3)
install_debian "${tools[@]}"

if debian_installed "$package"; then
  fail "$package is already installed; remove it first (apt-get purge $package), this check installs and removes its own"
fi

work=$(mktemp -d /tmp/kelvane-deb-XXXXXX)
we_installed=no
finish() {
  local status=$?
  if [ "$we_installed" = yes ]; then
    echo "Removing $package"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "$package" >/dev/null || status=1
    if debian_installed "$package" || [ -e "$bin_dir/kelvane-doctor" ]; then
      echo "check-deb: $package is still installed" >&2
      status=1
    fi
  fi
  rm -rf "$work"
  exit $status
}
trap finish EXIT

# ---- Build the package ----------------------------------------------------
cmake --build "$build_dir" -j2
cpack --config "$build_dir/CPackConfig.cmake" -G DEB -B "$work" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack failed"; }
debs=("$work/$package"_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then fail "expected one ${package}_*.deb in $work"; fi
deb=${debs[0]}
echo "Built $(basename "$deb")"
dpkg-deb -f "$deb" Package Version Architecture Depends Recommends Suggests

depends=$(dpkg-deb -f "$deb" Depends)
depended_packages=$(tr ',|' '\n' <<<"$depends" | sed 's/^ *//; s/[ (].*//')
for library in libqt6widgets6 libqt6gui6 libqt6core6 libstdc++6; do
  grep -Fxq "$library" <<<"$depended_packages" || fail "Depends lacks $library: $depends"
done
[ "$(dpkg-deb -f "$deb" Recommends)" = "adb, xdg-utils" ] || fail "Recommends is not adb, xdg-utils"

files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
[ "$files" = "$expected_files" ] || fail "unexpected package contents:
$files"

# Debian's own checks. Errors fail; every warning left is explained in
# packaging/README.md.
lintian --fail-on error "$deb" >"$work/lintian.txt" 2>&1 ||
  { cat "$work/lintian.txt"; fail "lintian found errors"; }
echo "lintian: $(grep -c '^W: ' "$work/lintian.txt" || true) warnings"
grep '^[EW]: ' "$work/lintian.txt" || true

# ---- Install it -----------------------------------------------------------
we_installed=yes
(cd "$work" && as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "./$(basename "$deb")" >/dev/null)
debian_installed "$package" || fail "apt did not install $package"

# The desktop entry, its icon, and the software-centre metadata that names
# the entry. No warnings from either validator.
validation=$(desktop-file-validate "$desktop_entry" 2>&1) || fail "desktop-file-validate: $validation"
[ -z "$validation" ] || fail "desktop-file-validate: $validation"
icon=$icon_dir/$(sed -n 's/^Icon=//p' "$desktop_entry").svg
python3 -c 'import sys, xml.etree.ElementTree as t; t.parse(sys.argv[1])' "$icon" || fail "the desktop entry's icon $icon is missing or not well-formed"
validation=$(appstreamcli validate --no-net "$metainfo" 2>&1) || fail "appstreamcli validate: $validation"
if grep -E '^[EW]: ' <<<"$validation"; then fail "appstreamcli validate warns about $metainfo"; fi
echo "appstreamcli validate: $(tail -n 1 <<<"$validation")"
grep -Fq "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" || fail "$metainfo does not name $app_id.desktop"
grep -Fq "<release version=\"$(dpkg-query -W -f='${Version}' "$package" | sed 's/-[^-]*$//')\"" "$metainfo" ||
  fail "$metainfo has no release entry for the package's version"

# The manual pages: found by name, and rendered without a warning.
for page in "${manual_pages[@]}"; do
  [ "$(man -w "$page")" = "/usr/share/man/man1/$page.1.gz" ] || fail "man finds $(man -w "$page") for $page"
  warnings=$(MANWIDTH=80 man --warnings "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man $page warns: $warnings"
done

# The installed programs find their libraries and carry no search path of
# their own.
for program in "$bin_dir/kelvane" "$bin_dir/kelvane-doctor"; do
  if ldd "$program" | grep -q 'not found'; then ldd "$program"; fail "$program lacks libraries"; fi
  if readelf -d "$program" | grep -Eq 'RPATH|RUNPATH'; then readelf -d "$program" | grep -E 'RPATH|RUNPATH'; fail "$program has a library search path"; fi
done

# kelvane-doctor: its version is the package's, and it finds Debian's adb.
package_version=$(dpkg-query -W -f='${Version}' "$package")
version=$("$bin_dir/kelvane-doctor" --version)
[ "$version" = "kelvane-doctor ${package_version%%-*}" ] || fail "--version says '$version', the package is $package_version"
echo "$version"

status=0
"$bin_dir/kelvane-doctor" >"$work/doctor.txt" || status=$?
cat "$work/doctor.txt"
[ $status -eq 0 ] || [ $status -eq 1 ] || fail "kelvane-doctor ended with status $status"
grep -Eq "^pass +ADB +System adb: $system_adb\$" "$work/doctor.txt" || fail "kelvane-doctor did not report $system_adb as System adb"

status=0
"$bin_dir/kelvane-doctor" --json >"$work/doctor.json" || status=$?
python3 - "$work/doctor.json" "$system_adb" "$status" <<'PY' || fail "kelvane-doctor --json disagrees"
import json, sys
report = json.load(open(sys.argv[1]))
assert report["adbPath"] == sys.argv[2], report["adbPath"]
assert report["adbSource"] == "System adb", report["adbSource"]
assert report["canStartMirror"] == (sys.argv[3] == "0"), report["canStartMirror"]
PY

# The window starts from /usr/bin and finishes its first diagnostics pass.
sh tests/KelvaneAppSmokeTest.sh "$bin_dir/kelvane" "$log_path" || fail "the installed kelvane did not start"

echo "check-deb: $(basename "$deb") installs, validates and runs"
