#!/usr/bin/env bash
# outcomepane(7) shows every English text of the result pane whole, as mandoc renders the page
# (a text whose first word is also a page macro loses that word unless it is escaped); a text
# that ends in a detail's place "%@" is looked for up to it.
#   tests/docs/outcomepane_page_test.sh <source-dir>
set -euo pipefail
page=$(mandoc -T ascii "$1/man/outcomepane.7" | col -b | tr -s ' \t\n' ' ')
missing=0
while IFS= read -r text; do
  text=${text%%%@}
  [[ $page == *"$text"* ]] || { echo "outcomepane(7) lacks: $text" >&2; missing=1; }
done < <(sed -n 's/^"[^"]*" = "\(.*\)";$/\1/p' "$1/resultpane/en.lproj/Provision.strings")
exit $missing
