#!/bin/bash
# The manual pages as scdoc made them: mandoc's lint and man's warnings find
# nothing (but the empty paragraphs scdoc puts around headings, which no
# formatter shows), and each page has the sections a reader looks for.
#   man_test.sh PAGE...
set -u
failures=0
for page in "$@"; do
    mandoc -T lint -W warning "$page" 2>&1 | grep -v -E 'skipping paragraph macro: PP (empty|after S[HS])' &&
        { echo "FAIL: mandoc finds fault with $page"; failures=$((failures + 1)); }
    said=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >"$page.txt")
    [ -z "$said" ] || { echo "FAIL: man warns about $page: $said"; failures=$((failures + 1)); }
    for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS|FIELDS" EXAMPLES "SEE ALSO"; do
        grep -q -E "^($section)\$" "$page.txt" || { echo "FAIL: $page has no $section"; failures=$((failures + 1)); }
    done
done
echo "$failures failure(s)"
[ "$failures" -eq 0 ]
