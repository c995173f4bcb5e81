#!/usr/bin/env bash
# Uninstall script for a managed-software tool: removes the installed hotfix and exits with
# patchremove's status (0 removed; 150, 155, 170, 190 as in patchremove(8)). Runs as root.
#   fleet-uninstall.sh <platform home>
set -u
patchremove -rcphome "$1"
