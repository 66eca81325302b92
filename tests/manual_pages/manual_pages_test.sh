#!/usr/bin/env bash
# Checks the built manual pages: each has NAME, SYNOPSIS, DESCRIPTION, OPTIONS, ENVIRONMENT,
# FILES, EXIT STATUS, EXAMPLES and SEE ALSO; `man --warnings` renders it at 80 columns with
# nothing on standard error; and each option of OPTIONS is named apart from its text (a tag
# holds only the option, its argument and its other spellings).
#
#   manual_pages_test.sh MAN1_DIR PROGRAM...
set -euo pipefail

dir=$1
shift
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

for program in "$@"; do
    page=$dir/$program.1
    if [ ! -f "$page" ]; then
        fail "no page $page"
        continue
    fi
    for section in NAME SYNOPSIS DESCRIPTION OPTIONS ENVIRONMENT FILES "EXIT STATUS" EXAMPLES \
        "SEE ALSO"; do
        grep -qE "^\.SH \"?$section\"?\$" "$page" || fail "$program.1 has no $section section"
    done
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || fail "man -l $page failed"
    [ -z "$warnings" ] || fail "$program.1 renders with warnings: $warnings"
    # The tags of OPTIONS that name an option: the line after each .TP up to the next section.
    tags=$(sed -n '/^\.SH OPTIONS/,/^\.SH /{/^\.TP/{n;p}}' "$page" |
        sed -e 's/\\f[BIRP]//g' -e 's/\\-/-/g')
    grep -q '^-' <<<"$tags" || fail "$program.1 lists no option"
    while read -r tag; do
        [[ "$tag" == -* ]] || continue  # a list of other things in the section's text
        for word in $tag; do
            [[ "$word" =~ ^(-[-a-zA-Z0-9]+,?|[A-Z0-9_|.=]+)$ ]] ||
                fail "$program.1: the option \"$tag\" runs into its text at \"$word\""
        done
    done <<<"$tags"
done

[ "$failures" -eq 0 ] || exit 1
echo "PASS: the manual pages of $* have their sections, render cleanly and name each option"
