#!/usr/bin/env bash
# `dmi-snmp mib --output FILE` never writes through what lies at FILE: a symbolic link planted
# there is replaced by the MIB and what it pointed to stays as it was; a file already there is
# replaced whole; a FIFO or a device is refused at once (exit 1) and left alone. Nothing planted
# at FILE.tmp (a directory, a link) is in the way or followed, and no temporary file is left.
#
#   mib_output_test.sh DMI_SNMP SOURCE_DIR
set -euo pipefail

dmi_snmp=$1
source_dir=$(cd "$2" && pwd)
source "$source_dir/tests/snmp/test-lib.sh"
private_directory korvo-mib-output

mib() { "$dmi_snmp" mib --mif "$source_dir/mif/korvo.mif" --output "$1"; }

victim=$tmp/victim
printf 'untouched\n' >"$victim"
chmod 0600 "$victim"
ln -s "$victim" "$tmp/link.txt"
mib "$tmp/link.txt" || fail "the MIB was not written in place of a link"
[ "$(cat "$victim")" = untouched ] || fail "the MIB was written through the link"
[ -f "$tmp/link.txt" ] && [ ! -L "$tmp/link.txt" ] || fail "the link is still there"
grep -q 'DEFINITIONS ::= BEGIN' "$tmp/link.txt" || fail "the file in the link's place is no MIB"

printf 'an older MIB, longer than the new one %.0s' $(seq 2000) >"$tmp/old.txt"
mib "$tmp/old.txt" || fail "an existing file was not replaced"
cmp -s "$tmp/old.txt" "$tmp/link.txt" || fail "the replaced file is not exactly the MIB"

mkdir "$tmp/beside-directory.txt.tmp"
ln -s "$victim" "$tmp/beside-link.txt.tmp"
for planted in beside-directory.txt.tmp beside-link.txt.tmp; do
    mib "$tmp/${planted%.tmp}" || fail "$planted in the way of the MIB"
    cmp -s "$tmp/${planted%.tmp}" "$tmp/link.txt" || fail "beside $planted: not the MIB"
done
[ -d "$tmp/beside-directory.txt.tmp" ] || fail "the planted directory was removed"
[ -L "$tmp/beside-link.txt.tmp" ] || fail "the planted link was removed"
[ "$(cat "$victim")" = untouched ] || fail "the MIB was written through the planted link"

mkfifo "$tmp/fifo"
status=0
timeout 20 "$dmi_snmp" mib --mif "$source_dir/mif/korvo.mif" --output "$tmp/fifo" 2>"$tmp/err" ||
    status=$?
[ "$status" -eq 1 ] || fail "a FIFO at FILE: exit $status, not 1"
[ -p "$tmp/fifo" ] || fail "the FIFO was replaced"
grep -q 'not a regular file' "$tmp/err" || fail "a FIFO at FILE: $(cat "$tmp/err")"
left=$(find "$tmp" -name '*.tmp.*')
[ -z "$left" ] || fail "temporary files were left behind: $left"

[ "$failures" -eq 0 ]
