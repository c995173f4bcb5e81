#!/bin/sh
# Uninstall script for a managed-software tool: exits 0 when nothing is installed (no
# instance, or no hotfix recorded, the product not half-installed and no removal manifest
# staged), else removes the hotfix and exits with patchremove's status (0 removed; 150, 155,
# 170, 190 as in patchremove(8)). patchremove itself exits 190 on a machine without a hotfix,
# which a fleet would read as a failed uninstall. A half-installed product, or a staged
# removal manifest, is removed: patchremove finishes what a cut-off run began. When
# hotfixcheck cannot answer, patchremove runs and its status tells. Runs as root.
#   fleet-uninstall.sh <platform home>
status=$(hotfixcheck status --json -- "$1")
case $? in
  1)
    echo "no instance at $1: nothing to remove" >&2
    exit 0
    ;;
  0)
    if printf '%s\n' "$status" | grep -qF '"installState": "none"' &&
      ! printf '%s\n' "$status" | grep -qF '"uninstall.hotfix.xml"'; then
      echo "no hotfix recorded at $1: nothing to remove" >&2
      exit 0
    fi
    ;;
esac
exec patchremove -rcphome "$1"
