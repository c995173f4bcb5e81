#!/bin/sh
# Install check for a managed-software tool: by that tool's convention the check exits 0 when
# the install is still needed and non-zero when it is not. hotfixcheck needs-install answers
# exactly that, with patchapply's own order of versions (a later recorded hotfix is kept, as
# the code-7 check keeps it); a half-installed product needs the install. A check that cannot answer (hotfixcheck missing, or status 2)
# must not read as "not needed": it exits 0, and the install then runs and patchapply's own
# checks decide.
#   fleet-install-check.sh <platform home> <wanted hotfix version>
hotfixcheck needs-install -- "$1" "$2"
status=$?
[ "$status" -le 1 ] && exit "$status"
echo "the install check could not answer (hotfixcheck status $status): installing" >&2
exit 0
