#!/usr/bin/env bash
# The launch mode of the real binary: the child's command line, the parent's
# line and status, and a child that finishes its work with its output lost.
source "$E2E_DIR/lib.sh"

report=$SCRATCH/report.txt
printf 'Sources Count %% cum%%\n192.0.2.10 3 75.0 75.0\n192.0.2.20 1 25.0 100.0\n' >"$report"
fake_capture "$report"

# A wrapper named without a slash, found on PATH: it records the words it was
# started with and runs the binary under its own name, so that a launch from it
# starts the wrapper again through the PATH search.
calls=$SCRATCH/calls
cat >"$SCRATCH/bin/quillet-wrap" <<EOF
#!/bin/bash
printf '%q ' "\$@" >>'$calls'
echo >>'$calls'
exec -a quillet-wrap '$QUILLET_BIN' "\$@"
EOF
chmod +x "$SCRATCH/bin/quillet-wrap"

wait_for() { # wait_for SECONDS COMMAND...: until COMMAND succeeds
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.1
  done
}
lines_in() { [ -f "$1" ] && [ "$(wc -l <"$1")" -ge "$2" ]; }

start_trapper

# The child runs the collection and delivers its values although the parent
# has ended and nobody reads its output.
set +e
quillet-wrap xlaunch_ylaunch_coletarDns /p 127.0.0.1 extra dns-lab >"$OUT" 2>"$ERR"
STATUS=$?
set -e
expect_eq "launch: status" "$STATUS" 0
expect_file_eq "launch: stdout" "$OUT" $'Processo inicializado com sucesso!\n'
expect_file_eq "launch: stderr" "$ERR" ""
wait_for 20 lines_in "$TRAPPER_LOG" 6 || fail "launch: the child's deliveries did not arrive"
expect_eq "launch: child deliveries" "$(trapper_values | cut -d= -f1 | tr '\n' ' ')" \
  "dns-lab descobertaDns dns-lab contDns[192.0.2.10] dns-lab percentDns[192.0.2.10] dns-lab contDns[192.0.2.20] dns-lab percentDns[192.0.2.20] $(uncounted_values dns-lab | cut -d= -f1 | tr '\n' ' ')"
expect_eq "launch: command lines" "$(cat "$calls")" \
  "xlaunch_ylaunch_coletarDns /p 127.0.0.1 extra dns-lab 
coletarDns /p 127.0.0.1 extra dns-lab "

# A mode word ending in "launch_" gives the child an empty mode: the child fails
# unseen, the parent still reports the start.
: >"$calls"
set +e
quillet-wrap launch_ >"$OUT" 2>"$ERR"
STATUS=$?
set -e
expect_eq "empty child mode: status" "$STATUS" 0
expect_file_eq "empty child mode: stdout" "$OUT" $'Processo inicializado com sucesso!\n'
wait_for 10 lines_in "$calls" 2 || fail "empty child mode: the child did not start"
expect_eq "empty child mode: command lines" "$(cat "$calls")" "launch_ 
'' "

# A program path that cannot be executed: no success line, an error report.
set +e
(exec -a /nonexistent/quillet "$QUILLET_BIN" launch_coletarDns /p 127.0.0.1 h >"$OUT" 2>"$ERR")
STATUS=$?
set -e
expect_eq "unexecutable child: status" "$STATUS" 1
expect_file_eq "unexecutable child: stdout" "$OUT" ""
expect_file_eq "unexecutable child: stderr" "$ERR" \
  'quillet: falha não tratada (erro do sistema) na etapa "modo launch": não foi possível iniciar /nonexistent/quillet: No such file or directory
'

finish
