#!/usr/bin/env bash
# Every relative link in README.md and docs/ names a file that exists
# (a #section after it is not checked). usage: links.sh SRC
set -u
cd "$1" || exit 1
bad=0
for page in README.md docs/*.md; do
    dir=$(dirname "$page")
    while IFS= read -r target; do
        case $target in http://* | https://* | mailto:* | '#'*) continue ;; esac
        path=${target%%#*}
        [ -e "$dir/$path" ] || { echo "$page: $target does not exist"; bad=1; }
    done < <(grep -o '](\([^)]*\))' "$page" | sed 's/^](\(.*\))$/\1/')
done
[ $bad = 0 ] && echo "all links found"
exit $bad
