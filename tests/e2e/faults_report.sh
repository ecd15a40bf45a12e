#!/usr/bin/env bash
# Reports no dnstop would write, read by the real binary: a gigabyte of rows,
# a single line without a line end, nothing but invalid UTF-8, very long lines
# and NUL bytes. Each run ends normally with exactly the records the table
# holds, and the one run that delivers sends them whole.
source "$E2E_DIR/lib.sh"

# dnstop runs $SCRATCH/make-report, whose output becomes the report.
fake_capture /dev/null
printf '#!/bin/sh\nexec sh %s\n' "$SCRATCH/make-report" >"$SCRATCH/bin/dnstop"
report_is() { # report_is FILE: dnstop prints FILE
  printf 'cat %q\n' "$1" >"$SCRATCH/make-report"
}
# listing_after: the debug listing's records, one per line, after its head of
# four lines and before the blank line of its tables (tests/e2e/collection.sh
# checks head and tables byte for byte)
listing_after() { sed -n '5,$p' "$OUT" | sed '/^$/,$d'; }
# empty_listing: the head of a listing, and no record after it
empty_listing() { echo "$(sed '/^$/,$d' "$OUT" | wc -l) lines, $(sed -n 2p "$OUT")"; }
# run_measured WHAT ARGS...: run_quillet, then prints the run's peak memory
run_measured() {
  local what=$1
  shift
  set +e
  /usr/bin/time -f %M -o "$SCRATCH/rss" "$QUILLET_BIN" "$@" >"$OUT" 2>"$ERR"
  STATUS=$?
  set -e
  echo "$what: peak resident memory $(cat "$SCRATCH/rss") KiB"
}

# Nearly the 256 MiB that dnstop may write: rows on a tmpfs of its own; the
# busiest address stands last, so only a reader that goes through all of it
# can rank it first.
mount -t tmpfs -o size=300m tmpfs /home/quillet
cat >"$SCRATCH/make-report" <<'EOF'
echo "Sources          Count      %   cum%"
yes "10.1.2.3 1 0.1 x" | head -c 268000000
printf '\n192.0.2.77 999999 99.9 x\n\nDestinations Count %% cum%%\n'
EOF
run_measured "255 MiB report" coletarDns /p 127.0.0.1 debug
expect_eq "255 MiB report: status" "$STATUS" 0
expect_eq "255 MiB report: over 255 MiB" "$(($(stat -c %s /home/quillet/dnstop_output.txt) > 255 << 20))" 1
expect_eq "255 MiB report: busiest first" "$(listing_after | head -n 1)" \
  "{'{#SOURCE}': '192.0.2.77', '{#CONTAGEM}': 999999, '{#PERCENTUAL}': 99.9}"
expect_eq "255 MiB report: then the first nineteen rows" "$(listing_after | sed 1d | sort | uniq -c | tr -s ' ')" \
  " 19 {'{#SOURCE}': '10.1.2.3', '{#CONTAGEM}': 1, '{#PERCENTUAL}': 0.1}"
umount /home/quillet

# A single line without a line end: a header, and so an empty table.
printf 'Sources Count %%' >"$SCRATCH/one-line"
report_is "$SCRATCH/one-line"
run_quillet coletarDns /p 127.0.0.1 debug
expect_eq "one line: status" "$STATUS" 0
expect_eq "one line: no record" "$(empty_listing)" "4 lines, Modo DEBUG ativado:"
# The last data line without its line end still counts.
printf 'Sources Count %%\n192.0.2.1 5 50.0 x' >"$SCRATCH/last-line"
report_is "$SCRATCH/last-line"
run_quillet coletarDns /p 127.0.0.1 debug
expect_eq "last line without line end" "$(listing_after)" \
  "{'{#SOURCE}': '192.0.2.1', '{#CONTAGEM}': 5, '{#PERCENTUAL}': 50.0}"

# Nothing but invalid UTF-8 (every byte from 0x80 to 0xff, 4 MiB of them):
# no line survives decoding, so no table and no record.
python3 -c 'import sys; sys.stdout.buffer.write(bytes(range(0x80, 0x100)) * 32768)' >"$SCRATCH/invalid"
report_is "$SCRATCH/invalid"
run_quillet coletarDns /p 127.0.0.1 debug
expect_eq "invalid UTF-8: status" "$STATUS" 0
expect_eq "invalid UTF-8: no record" "$(empty_listing)" "4 lines, Modo DEBUG ativado:"
# Invalid bytes around and inside a table: they are dropped, the rest is read.
printf 'Sour\xffces Co\xc0unt %%\n192.0\xed\xa0\x80.2.1 5 50\xf8.0 x\n\xfe\xfe\n192.0.2.2 4 40.0 x\xc3\n' >"$SCRATCH/mixed"
report_is "$SCRATCH/mixed"
run_quillet coletarDns /p 127.0.0.1 debug
expect_eq "invalid UTF-8 inside the table" "$(listing_after)" \
  "{'{#SOURCE}': '192.0.2.1', '{#CONTAGEM}': 5, '{#PERCENTUAL}': 50.0}
{'{#SOURCE}': '192.0.2.2', '{#CONTAGEM}': 4, '{#PERCENTUAL}': 40.0}"

# Very long lines: 64 MiB of letters, 16 MiB of blanks inside a data line, a
# 16 MiB fourth field, and a 1 MiB address that is no address.
{
  echo "Sources Count %"
  head -c 67108864 /dev/zero | tr '\0' A
  echo
  printf '192.0.2.1'
  head -c 16777216 /dev/zero | tr '\0' ' '
  echo '7 70.0 x'
  printf '192.0.2.2 6 60.0 '
  head -c 16777216 /dev/zero | tr '\0' y
  echo
  head -c 1048576 /dev/zero | tr '\0' 1
  echo ' 9 90.0 x'
} >"$SCRATCH/long"
report_is "$SCRATCH/long"
run_measured "long lines" coletarDns /p 127.0.0.1 debug
expect_eq "long lines: status" "$STATUS" 0
expect_eq "long lines: records" "$(listing_after)" \
  "{'{#SOURCE}': '192.0.2.1', '{#CONTAGEM}': 7, '{#PERCENTUAL}': 70.0}
{'{#SOURCE}': '192.0.2.2', '{#CONTAGEM}': 6, '{#PERCENTUAL}': 60.0}"

# NUL bytes: not white space, so a NUL inside the address spoils the row, one
# inside the unread fourth field does not; 8 MiB of NULs are one long line.
{
  printf 'Sources Count %%\n192.0.2.1\0 5 50.0 x\n192.0.2.2 4 40.0 x\0y\n\0192.0.2.3 3 30.0 x\n'
  head -c 8388608 /dev/zero
  printf '\n192.0.2.4 2 20.0 \0\n'
} >"$SCRATCH/nul"
report_is "$SCRATCH/nul"
run_quillet coletarDns /p 127.0.0.1 debug
expect_eq "NUL bytes: status" "$STATUS" 0
expect_eq "NUL bytes: records" "$(listing_after)" \
  "{'{#SOURCE}': '192.0.2.2', '{#CONTAGEM}': 4, '{#PERCENTUAL}': 40.0}
{'{#SOURCE}': '192.0.2.4', '{#CONTAGEM}': 2, '{#PERCENTUAL}': 20.0}"

# The same reports through the deliveries: each value arrives as listed.
start_trapper
for report in invalid mixed nul; do
  report_is "$SCRATCH/$report"
  new_deliveries
  run_quillet coletarDns /p 127.0.0.1 dns-lab
  expect_eq "$report: delivered" "$STATUS $(tail -n 1 "$OUT")" "0 OK!"
done
expect_eq "NUL bytes: what arrived" "$(trapper_values)" \
  'dns-lab descobertaDns={"data": [{"{#SOURCE}": "192.0.2.2", "{#CONTAGEM}": 4, "{#PERCENTUAL}": 40.0}, {"{#SOURCE}": "192.0.2.4", "{#CONTAGEM}": 2, "{#PERCENTUAL}": 20.0}]}
dns-lab contDns[192.0.2.2]=4
dns-lab percentDns[192.0.2.2]=40.0
dns-lab contDns[192.0.2.4]=2
dns-lab percentDns[192.0.2.4]=20.0
'"$(uncounted_values dns-lab)"

finish
