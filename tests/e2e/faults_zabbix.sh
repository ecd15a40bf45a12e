#!/usr/bin/env bash
# A Zabbix side that fails in every way we know of, met by the real binary with
# its shipped five attempts, five-second pauses and ten-second reply bound. To
# keep the suite short, one run meets them all: the first value meets five
# faults, the second five others, the third a reply that drips in slowly but
# within the bound. Each fault is one red line and one more attempt; nothing
# crashes or hangs, and the last line and the status tell the truth.
source "$E2E_DIR/lib.sh"

RED=$'\e[1;31m'
RESET=$'\e[0;0m'
report=$SCRATCH/report.txt
printf 'Sources Count %% cum%%\n192.0.2.10 3 75.0 75.0\n' >"$report"
fake_capture "$report"

# The reply a fault cuts short: 13 header bytes and a 90-byte body.
causes=(
  "conexão falhou: Connection refused"
  "conexão encerrada sem resposta"
  "conexão encerrada no meio da resposta (5 de 13 bytes)"
  "conexão encerrada no meio da resposta (58 de 103 bytes)"
  'resposta inválida: cabeçalho sem "ZBXD"'
  "resposta inválida: tamanho anunciado de 2097152 bytes, acima do limite de 1048576"
  "resposta inválida: corpo não é JSON válido"
  'servidor respondeu "failed" (info: "processed: 0; failed: 1; total: 1; seconds spent: 0.000012")'
  "sem resposta em 10 s"
  "falha na recepção: Connection reset by peer"
)
script=close,close-mid-header,close-mid-body,bad-magic,too-long,bad-json,failed,silent,reset,drip,success

# The run, with the moment each line came out; nothing listens yet, so the
# first attempt is refused, and the trapper starts during the pause after it.
timed=$SCRATCH/timed
(
  set +e
  "$QUILLET_BIN" coletarDns /p 127.0.0.1 dns-lab 2>"$ERR" |
    while IFS= read -r line; do printf '%s %s\n' "$EPOCHREALTIME" "$line"; done >"$timed"
  echo "${PIPESTATUS[0]}" >"$SCRATCH/status"
) &
run=$!
for _ in $(seq 100); do
  grep -q "Erro ao enviar" "$timed" 2>/dev/null && break
  sleep 0.05
done
start_trapper "$script" --drip-pieces 10 --drip-gap 600
wait "$run"

expect_eq "status" "$(cat "$SCRATCH/status")" 1
expect_file_eq "stderr" "$ERR" ""
expected="$(capture_line)"$'\n'
for cause in "${causes[@]}"; do
  expected+="${RED}Erro ao enviar para o Zabbix: 127.0.0.1:10052: $cause${RESET}"$'\n'
done
expected+=$'[ERRO] 2 de 4 envios ao Zabbix falharam.\n'
expect_file_eq "stdout" <(cut -d' ' -f2- "$timed") "$expected"

# Every attempt that reached the trapper carried the whole request; the first
# two values were given up after five attempts, the third arrived, and then
# what the run could not count.
expect_eq "what the trapper received" "$(trapper_values | cut -d= -f1 | uniq -c | tr -s ' ')" \
  " 4 dns-lab descobertaDns
 5 dns-lab contDns[192.0.2.10]
 1 dns-lab percentDns[192.0.2.10]
$(uncounted_values dns-lab | cut -d= -f1 | sed 's/^/ 1 /')"
expect_eq "the value that dripped in" "$(trapper_values | grep percentDns)" \
  "dns-lab percentDns[192.0.2.10]=75.0"

# Seconds between consecutive lines: the pause after each fault, the reply
# bound after the silent server, and the slow reply (nine gaps of 0.6 s) before
# the end. Each gap may run up to 0.9 s over, never under.
gaps=$(awk -v want="5 5 5 5 5 5 5 15 5 10.4" '
  BEGIN { n = split(want, w, " ") }
  NR > 2 { i++; gap = $1 - last; printf "%s ", (gap >= w[i] - 0.05 && gap < w[i] + 0.9) ? "ok" : sprintf("%.2f(want %s)", gap, w[i]) }
  { last = $1 }' "$timed")
expect_eq "seconds between the lines" "$gaps" "ok ok ok ok ok ok ok ok ok ok "

finish
