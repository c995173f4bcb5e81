#!/bin/sh
# Uninstall script for a managed-software tool: exits 0 when nothing is installed (no
# instance, or no hotfix recorded), else removes the installed hotfix and exits with
# patchremove's status (0 removed; 150, 155, 170, 190 as in patchremove(8)). patchremove itself
# exits 190 on a machine without a hotfix, which a fleet would read as a failed uninstall.
# When hotfixcheck cannot answer, patchremove runs and its status tells. Runs as root.
#   fleet-uninstall.sh <platform home>
status=$(hotfixcheck status --json -- "$1")
case $? in
  1)
    echo "no instance at $1: nothing to remove" >&2
    exit 0
    ;;
  0)
    if printf '%s\n' "$status" | grep -q '"hotfixVersion": null'; then
      echo "no hotfix recorded at $1: nothing to remove" >&2
      exit 0
    fi
    ;;
esac
exec patchremove -rcphome "$1"
