#!/usr/bin/env bash
# Removes the installed hotfix from a product and turns the status into advice.
#   remove-hotfix.sh <platform home>      (the directory that holds rcp; run as root)
set -u
home=$1

patchremove -rcphome "$home"
status=$?
case $status in
  0) echo "removed; the platform records no hotfix now" ;;
  1) echo "not run as root (run it with sudo), or the platform's application bundle or home" \
    "cannot be determined" ;;
  150) echo "no installed platform at $home: give the directory that holds rcp" ;;
  155) echo "the path holds a character the platform does not support" ;;
  170) echo "the product is running: quit it and try again" ;;
  190) echo "the removal failed: no removal manifest (nothing installed?), or read" \
    "the provisioning log" ;;
  *) echo "unexpected status $status" ;;
esac
echo "install feature now: $(featurecheck -rcphome "$home" \
  -installfeatureID com.zantec.orrery.hotfix)"
exit "$status"
