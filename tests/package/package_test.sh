#!/usr/bin/env bash
# Makes the packages of a build tree once, has lintian judge them (pedantic: every tag it
# reports is one of the overridden ones, each with its reason), installs them with dpkg into
# a scratch root and uses the installed files as their users would: every program's --help and
# bash completion, a sample product and hotfix from the simulator package, patchapply from
# libexec, featurecheck, the result pane, and a C program built against the -dev package
# through pkg-config that removes the hotfix again.
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
triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
lib=lib/$triplet
collection=share/ansible/collections/ansible_collections/orrery/hotfix
contents() { dpkg-deb -c "$1"_*.deb | awk '{ print $6 }' | sed -n 's|^\./usr/\(.*[^/]\)/*$|\1|p' | sort; }
# What each package holds, one path a line; ! marks a path that belongs to another package.
for row in "orrery-hotfix bin/featurecheck bin/hotfixcheck sbin/patchremove libexec/orrery-hotfix/patchapply
    lib/orrery-hotfix/outcomepane.bundle/Contents/MacOS/outcomepane.so
    lib/orrery-hotfix/outcomepane.bundle/Contents/Resources/ja.lproj/Provision.strings
    share/man/man8/patchapply.8.gz share/man/man7/outcomepane.7.gz share/man/man1/hotfixcheck.1.gz
    share/doc/orrery-hotfix/administrators-guide.md share/doc/orrery-hotfix/fleet-guide.md
    share/doc/orrery-hotfix/target-system.md share/doc/orrery-hotfix/examples/install-hotfix.sh
    share/doc/orrery-hotfix/examples/fleet-rollout.yml
    share/doc/orrery-hotfix/changelog.gz share/bash-completion/completions/hotfixcheck
    share/orrery-hotfix/schemas/hotfixcheck-plan.schema.json
    !$lib/libpatchremove.so.1 !bin/rcpsim" \
  "libpatchremove1 $lib/libpatchremove.so.1 share/doc/libpatchremove1/copyright
    !$lib/libpatchremove.so !sbin/patchremove" \
  "libpatchremove-dev include/patchremove.h $lib/pkgconfig/patchremove.pc $lib/libpatchremove.so
    share/man/man3/libpatchremove.3.gz !$lib/libpatchremove.so.1" \
  "orrery-hotfix-simulator bin/rcpsim libexec/orrery-hotfix/ignitor bin/installer-pane-host
    share/man/man1/rcpsim.1.gz share/man/man1/installer-pane-host.1.gz
    share/bash-completion/completions/rcpsim !sbin/patchremove" \
  "orrery-hotfix-ansible $collection/plugins/modules/hotfix.py $collection/galaxy.yml
    $collection/plugins/module_utils/hotfix_tools.py share/doc/orrery-hotfix-ansible/copyright
    !bin/hotfixcheck"; do
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
field() { dpkg-deb -f "$1"_*.deb "$2"; }
[[ $(field libpatchremove-dev Depends) == *"libpatchremove1 (= "* ]] ||
  fail "libpatchremove-dev does not depend on libpatchremove1"
[[ $(field orrery-hotfix Suggests) == *orrery-hotfix-simulator* ]] ||
  fail "orrery-hotfix does not suggest the simulator"
[[ $(field orrery-hotfix-ansible Architecture) == all &&
  $(field orrery-hotfix-ansible Depends) == ansible-core* ]] ||
  fail "orrery-hotfix-ansible is not for all architectures or does not depend on ansible-core"
expect "the .tar.gz" \
  "$( (for p in orrery-hotfix{,-simulator,-ansible} libpatchremove{1,-dev}; do contents $p; done) | sort -u)" \
  "$(tar -tzf ./*.tar.gz | sed -n 's|^[^/]*/||; s|/$||; /./p' | sort -u)"

root=$scratch/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
# The scratch root has none of the system's libraries, so their dependencies cannot hold there.
dpkg --root="$root" --force-depends --force-not-root -i ./*.deb >"$scratch/dpkg.log" 2>&1 ||
  { cat "$scratch/dpkg.log" >&2; exit 1; }
usr=$root/usr

# A sanitizer build's binaries need the sanitizer runtime; they are not what ships, so lintian
# judges only the packages of other builds.
if objdump -p "$usr/$lib/libpatchremove.so.1" | grep 'NEEDED.*libasan' >/dev/null; then
  sanitized=1
else
  sanitized=0
  lintian --allow-root -I --pedantic --show-overrides ./*.deb >"$scratch/lintian.log" 2>&1 ||
    fail "lintian:"$'\n'"$(cat "$scratch/lintian.log")"
  # Overridden tags (O:) are reported on purpose; anything else is not.
  ! grep -v '^O: \|^N: ' "$scratch/lintian.log" >/dev/null ||
    fail "lintian reports tags that are not overridden:"$'\n'"$(cat "$scratch/lintian.log")"
fi

# Every installed program answers --help with a usage text that names it, and each one that
# people run has its completion.
completions=$usr/share/bash-completion/completions
for program in "$usr"/bin/* "$usr"/sbin/* "$usr"/libexec/orrery-hotfix/*; do
  name=${program##*/}
  help=$("$program" --help 2>&1) || fail "$name --help: status $?"
  [[ ${help%%$'\n'*} == *"$name"* ]] || fail "$name --help prints: ${help%%$'\n'*}"
  [ "$name" = ignitor ] ||
    bash -c 'source "$1" && complete -p "$2"' - "$completions/$name" "$name" >/dev/null ||
    fail "no bash completion for $name"
done

# The paths in the doc folder that the installed guides name are installed.
for guide in "$usr"/share/doc/orrery-hotfix/*.md; do
  for path in $(grep -o '/usr/share/doc/orrery-hotfix[^ `"]*' "$guide" | sort -u); do
    [ -e "$root$path" ] || fail "${guide##*/} names $path, which is not installed"
  done
done

# ansible-doc finds the installed collection's modules.
if command -v ansible-doc >/dev/null 2>&1; then
  expect "ansible-doc -l" "orrery.hotfix.hotfix orrery.hotfix.hotfix_info" "$(ANSIBLE_COLLECTIONS_PATH=$usr/share/ansible/collections \
    ansible-doc -l orrery.hotfix 2>&1 | awk '{ print $1 }' | paste -sd ' ')"
fi

"$usr/bin/rcpsim" product "$scratch/Applications" >/dev/null
"$usr/bin/rcpsim" hotfix "$scratch/hotfix" --version 1.0.1 >/dev/null
home=$scratch/Applications/Orrery.app/Contents/MacOS

# The candidates that a program's completion offers for the last of the words, space-separated.
complete_words() {
  bash -c 'source "$0"; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); f=$(complete -p "$1")
    f=${f#*-F }; ${f%% *}; printf "%s\n" "${COMPREPLY[@]}"' "$completions/${1##*/}" "$@" |
    sort | paste -sd ' '
}
expect "hotfixcheck's commands" "lint needs-install plan rehearse status" "$(complete_words hotfixcheck '')"
expect "a package for plan" "$scratch/hotfix/Hotfix.mpkg" \
  "$(complete_words hotfixcheck --json plan "$scratch/hotfix/Hot")"
expect "status after its platform home" "" "$(complete_words hotfixcheck status "$home" "$scratch/")"
expect "the platform home" "$scratch/Applications/Orrery.app" \
  "$(complete_words featurecheck -rcphome "$scratch/Applications/O")"
expect "a part of a product" "ignitor ignitor-properties" \
  "$(complete_words rcpsim product x --name y --without ign)"
expect "a pane language" "de en fr ja" "$(complete_words installer-pane-host --language '')"
expect "rcpsim's options before the directory" "--allow-multi-instance" \
  "$(complete_words rcpsim hotfix --no-url --a)"
expect "rcpsim product options" "--base-version" "$(complete_words rcpsim product --ba)"
expect "install features of the platform home" "com.zantec.orrery com.zantec.rcp.platform" \
  "$(complete_words featurecheck -rcphome "$home" -installfeatureID com.zantec.)"
expect "patchapply by its installed path" "$scratch/hotfix" \
  "$(complete_words "$usr/libexec/orrery-hotfix/patchapply" "$scratch/hot")"
expect "hotfixcheck's status options" "-- --inventory --json" \
  "$(complete_words hotfixcheck --quiet status -)"
[[ $("$usr/bin/hotfixcheck" --help) == *"  $usr/share/orrery-hotfix/schemas/hotfixcheck-"* ]] ||
  fail "hotfixcheck --help does not name the installed schemas"

cmp -s "$usr/libexec/orrery-hotfix/ignitor" "$home/rcp/ignitor" || fail "not the installed ignitor"
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
flags=$(PKG_CONFIG_LIBDIR=$usr/$lib/pkgconfig PKG_CONFIG_PATH='' pkg-config --cflags --libs patchremove)
# A library from a sanitizer build needs its runtime loaded first, so the caller is built so.
[ $sanitized = 0 ] || flags="$flags -fsanitize=address,undefined"
# shellcheck disable=SC2086 # the flags are words
cc -Wall -Wextra -Werror -o remove remove.c $flags
expect "RCPUninstallHotfix" 0 "$(LD_LIBRARY_PATH=$usr/$lib ./remove "$home" | tail -n 1)"
expect "featurecheck after the removal" -1 "$(feature)"
[ "$failures" -eq 0 ] || { echo "$failures failure(s)" >&2; exit 1; }
