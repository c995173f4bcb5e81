#!/usr/bin/env bash
# Makes the packages of a build tree once, unpacks the .deb files into a scratch root, and uses
# the unpacked files as their users would: a sample product and hotfix from the simulator
# package, patchapply from libexec, featurecheck, the result pane, and a C program built
# against the -dev package through pkg-config that removes the hotfix again.
#   tests/sandbox-run <build-dir> tests/package/package_test.sh <build-dir>
set -euo pipefail
build=$1
scratch=$(mktemp -d /tmp/package-test.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
expect() { [ "$2" = "$3" ] || fail "$1: expected '$2', got '$3'"; } # what, expected, actual

cpack --config "$build/CPackConfig.cmake" -B "$scratch/packages" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log" >&2; exit 1; }
cd "$scratch/packages"
contents() { dpkg-deb -c "$1"_*.deb | awk '{ print $6 }' | sed -n 's|^\./usr/\(.*[^/]\)/*$|\1|p' | sort; }
# What each package holds, one path a line; ! marks a path that belongs to another package.
for row in "orrery-hotfix bin/featurecheck bin/hotfixcheck sbin/patchremove libexec/orrery-hotfix/patchapply
    lib/libpatchremove.so.1 lib/orrery-hotfix/outcomepane.bundle/Contents/MacOS/outcomepane.so
    lib/orrery-hotfix/outcomepane.bundle/Contents/Resources/ja.lproj/Provision.strings
    share/man/man8/patchapply.8 share/man/man7/outcomepane.7 share/man/man1/hotfixcheck.1
    share/doc/orrery-hotfix/administrators-guide.md share/doc/orrery-hotfix/fleet-guide.md !lib/libpatchremove.so !bin/rcpsim" \
  "orrery-hotfix-dev include/patchremove.h lib/pkgconfig/patchremove.pc lib/libpatchremove.so
    share/man/man3/libpatchremove.3 !lib/libpatchremove.so.1" \
  "orrery-hotfix-simulator bin/rcpsim libexec/orrery-hotfix/ignitor bin/installer-pane-host
    !sbin/patchremove"; do
  read -r -a words <<<"$(echo $row)"
  listing=$(contents "${words[0]}")
  for path in "${words[@]:1}"; do
    if [[ $path == !* ]]; then
      ! grep -qx "${path#!}" <<<"$listing" || fail "${words[0]} holds ${path#!}"
    else
      grep -qx "$path" <<<"$listing" || fail "${words[0]} lacks $path"
    fi
  done
done
dpkg-deb -f orrery-hotfix-dev_*.deb Depends | grep '^orrery-hotfix (= ' >/dev/null ||
  fail "orrery-hotfix-dev does not depend on orrery-hotfix"
expect "the .tar.gz" "$( (for p in orrery-hotfix{,-dev,-simulator}; do contents $p; done) | sort -u)" \
  "$(tar -tzf ./*.tar.gz | sed -n 's|^[^/]*/||; s|/$||; /./p' | sort -u)"

root=$scratch/root
for deb in ./*.deb; do dpkg -x "$deb" "$root"; done
usr=$root/usr
"$usr/bin/rcpsim" product "$scratch/Applications" >/dev/null
"$usr/bin/rcpsim" hotfix "$scratch/hotfix" --version 1.0.1 >/dev/null
home=$scratch/Applications/Orrery.app/Contents/MacOS
cmp -s "$usr/libexec/orrery-hotfix/ignitor" "$home/rcp/ignitor" || fail "not the unpacked ignitor"
status=0
"$usr/libexec/orrery-hotfix/patchapply" "$scratch/hotfix/Hotfix.mpkg/Contents/Packages/hotfix.pkg" \
  "$scratch/Applications" || status=$?
expect "patchapply's exit status" 0 $status
feature() { "$usr/bin/featurecheck" -rcphome "$home" -installfeatureID com.zantec.orrery.hotfix; }
expect "featurecheck after the install" 1.0.1 "$(feature)"
# The installed hotfixcheck finds the simulator's installed launcher for a rehearsal.
"$usr/bin/hotfixcheck" rehearse "$scratch/hotfix/Hotfix.mpkg/Contents/Packages/hotfix.pkg" \
  "$scratch/Applications" >"$scratch/rehearse.txt" 2>&1 ||
  fail "installed hotfixcheck rehearse: $(cat "$scratch/rehearse.txt")"
pane=$("$usr/bin/installer-pane-host" --non-interactive --language en \
  "$usr/lib/orrery-hotfix/outcomepane.bundle")
[[ $pane == *"The hotfix was installed successfully."* ]] || fail "the result pane shows: $pane"

printf '#include <stdio.h>\n#include <patchremove.h>\nint main(int argc, char** argv) {
  return argc == 2 ? printf("%%d\\n", (int)RCPUninstallHotfix(argv[1])) < 0 : 2;\n}\n' >remove.c
flags=$(PKG_CONFIG_LIBDIR=$usr/lib/pkgconfig PKG_CONFIG_PATH='' pkg-config --cflags --libs patchremove)
# A library from a sanitizer build needs its runtime loaded first, so the caller is built so.
objdump -p "$usr/lib/libpatchremove.so.1" | grep 'NEEDED.*libasan' >/dev/null &&
  flags="$flags -fsanitize=address,undefined"
# shellcheck disable=SC2086 # the flags are words
cc -Wall -Wextra -Werror -o remove remove.c $flags
expect "RCPUninstallHotfix" 0 "$(LD_LIBRARY_PATH=$usr/lib ./remove "$home" | tail -n 1)"
expect "featurecheck after the removal" -1 "$(feature)"
[ "$failures" -eq 0 ] || { echo "$failures failure(s)" >&2; exit 1; }
