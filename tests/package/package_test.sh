#!/usr/bin/env bash
# Makes the packages of a build tree once, unpacks the .deb files into a scratch root, checks
# what each package holds, and then uses the unpacked files as their users would: a sample
# product and hotfix from the simulator package, the install program from libexec, the
# feature check, the result pane, and a C program built against the -dev package through
# pkg-config that removes the hotfix again.
#   tests/sandbox-run <build-dir> tests/package/package_test.sh <build-dir>
set -euo pipefail

build=$1
scratch=$(mktemp -d /tmp/package-test.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
expect_equal() { # what, expected, actual
  [ "$2" = "$3" ] || fail "$1: expected '$2', got '$3'"
}

# ---- the packages --------------------------------------------------------------------------
if ! cpack --config "$build/CPackConfig.cmake" -B "$scratch/packages" >"$scratch/cpack.log" 2>&1; then
  cat "$scratch/cpack.log" >&2
  echo "FAIL: cpack" >&2
  exit 1
fi
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
arch=$(dpkg --print-architecture)
runtime=$scratch/packages/orrery-hotfix_${version}_$arch.deb
dev=$scratch/packages/orrery-hotfix-dev_${version}_$arch.deb
simulator=$scratch/packages/orrery-hotfix-simulator_${version}_$arch.deb
tarball=$(ls "$scratch"/packages/*.tar.gz)
for deb in "$runtime" "$dev" "$simulator"; do
  [ -f "$deb" ] || { echo "FAIL: no $(basename "$deb") among: $(ls "$scratch/packages")" >&2; exit 1; }
done

contents() { dpkg-deb -c "$1" | awk '{ print $6 }' | sed 's|^\./||; s|/$||' | sort; }
# Each row: package, a path it holds (under usr/), or !path for one it must not hold.
while read -r deb path; do
  case "$path" in
    !*) ! contents "$deb" | grep -qx "usr/${path#!}" || fail "$(basename "$deb") holds usr/${path#!}" ;;
    *) contents "$deb" | grep -qx "usr/$path" || fail "$(basename "$deb") lacks usr/$path" ;;
  esac
done <<ROWS
$runtime bin/featurecheck
$runtime sbin/patchremove
$runtime libexec/orrery-hotfix/patchapply
$runtime lib/libpatchremove.so.1
$runtime lib/libpatchremove.so.$version
$runtime lib/orrery-hotfix/outcomepane.bundle/Contents/Info.plist
$runtime lib/orrery-hotfix/outcomepane.bundle/Contents/MacOS/outcomepane.so
$runtime lib/orrery-hotfix/outcomepane.bundle/Contents/Resources/en.lproj/Provision.strings
$runtime lib/orrery-hotfix/outcomepane.bundle/Contents/Resources/ja.lproj/Provision.strings
$runtime share/man/man8/patchapply.8
$runtime share/man/man8/patchremove.8
$runtime share/man/man1/featurecheck.1
$runtime share/man/man7/outcomepane.7
$runtime share/doc/orrery-hotfix/administrators-guide.md
$runtime share/doc/orrery-hotfix/package-authors-guide.md
$runtime !lib/libpatchremove.so
$runtime !include/patchremove.h
$runtime !bin/rcpsim
$runtime !libexec/orrery-hotfix/ignitor
$runtime !bin/installer-pane-host
$dev include/patchremove.h
$dev lib/pkgconfig/patchremove.pc
$dev lib/libpatchremove.so
$dev share/man/man3/libpatchremove.3
$dev !lib/libpatchremove.so.1
$simulator bin/rcpsim
$simulator libexec/orrery-hotfix/ignitor
$simulator bin/installer-pane-host
$simulator !sbin/patchremove
ROWS
dpkg-deb -f "$dev" Depends | grep -q "orrery-hotfix (= $version)" ||
  fail "the -dev package does not depend on the runtime package: $(dpkg-deb -f "$dev" Depends)"
expect_equal "soname" "libpatchremove.so.1" \
  "$(objdump -p "$build/lib/libpatchremove.so" | awk '$1 == "SONAME" { print $2 }')"

# The .tar.gz holds the three packages' files under one top directory.
expected=$( (contents "$runtime"; contents "$dev"; contents "$simulator") | grep '^usr/' |
  sed 's|^usr/||' | sort -u)
actual=$(tar -tzf "$tarball" | sed 's|^[^/]*/||; s|/$||' | grep -v '^$' | sort -u)
expect_equal "files of $(basename "$tarball")" "$expected" "$actual"

# ---- the unpacked files at work ----------------------------------------------------------
root=$scratch/root
for deb in "$runtime" "$dev" "$simulator"; do dpkg -x "$deb" "$root"; done
prefix=$root/usr

"$prefix/bin/rcpsim" product "$scratch/Applications" >/dev/null
"$prefix/bin/rcpsim" hotfix "$scratch/hotfix" --version 1.0.1 >/dev/null
home=$scratch/Applications/Orrery.app/Contents/MacOS
cmp -s "$prefix/libexec/orrery-hotfix/ignitor" "$home/rcp/ignitor" ||
  fail "the sample product's launcher is not the unpacked ignitor"

status=0
"$prefix/libexec/orrery-hotfix/patchapply" \
  "$scratch/hotfix/Hotfix.mpkg/Contents/Packages/hotfix.pkg" "$scratch/Applications" || status=$?
expect_equal "patchapply exit status" 0 "$status"
expect_equal "featurecheck after the install" 1.0.1 \
  "$("$prefix/bin/featurecheck" -rcphome "$home" -installfeatureID com.zantec.orrery.hotfix)"
pane=$("$prefix/bin/installer-pane-host" --non-interactive --language en \
  "$prefix/lib/orrery-hotfix/outcomepane.bundle")
case "$pane" in
  *"The hotfix was installed successfully."*) ;;
  *) fail "the result pane shows: $pane" ;;
esac

# A C program against the -dev package, found through pkg-config alone.
cat >"$scratch/remove.c" <<'C'
#include <stdio.h>
#include <patchremove.h>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  printf("%d\n", (int)RCPUninstallHotfix(argv[1]));
  return 0;
}
C
flags=$(PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig PKG_CONFIG_PATH= pkg-config --cflags --libs patchremove)
# shellcheck disable=SC2086 # the flags are words
cc -Wall -Wextra -Werror -o "$scratch/remove" "$scratch/remove.c" $flags
removed=$(LD_LIBRARY_PATH=$prefix/lib "$scratch/remove" "$home" | tail -n 1)
expect_equal "RCPUninstallHotfix through the unpacked library" 0 "$removed"
expect_equal "featurecheck after the removal" -1 \
  "$("$prefix/bin/featurecheck" -rcphome "$home" -installfeatureID com.zantec.orrery.hotfix)"

if [ "$failures" -gt 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "packages: $(cd "$scratch/packages" && ls *.deb *.tar.gz | tr '\n' ' ')"
