#!/usr/bin/env bash
# Deliveries that do not get through, with the shipped five attempts and
# five-second pauses: each failed attempt is a red line, a value given up is
# counted in the last line, and the status says the run failed. Redirects that
# are not followed and cluster nodes that are all down too.
source "$E2E_DIR/lib.sh"

RED=$'\e[1;31m'
RESET=$'\e[0;0m'
debug_line="$(capture_line)"$'\n'
report=$SCRATCH/report.txt
printf 'Sources Count %% cum%%\n192.0.2.10 3 75.0 75.0\n' >"$report"
fake_capture "$report"

# The first value is refused five times by the server and given up; the next
# two get through. The run still makes them all.
start_trapper failed,failed,failed,failed,failed,success
started=$SECONDS
run_quillet coletarDns /p 127.0.0.1 dns-lab
elapsed=$((SECONDS - started))
refused="${RED}Erro ao enviar para o Zabbix: 127.0.0.1:10052: servidor respondeu \"failed\" (info: \"processed: 0; failed: 1; total: 1; seconds spent: 0.000012\")${RESET}"
expect_file_eq "one value given up: stdout" "$OUT" "$debug_line$(for _ in 1 2 3 4 5; do echo "$refused"; done)
[ERRO] 1 de 4 envios ao Zabbix falharam.
"
expect_eq "one value given up: status" "$STATUS" 1
expect_eq "one value given up: values that arrived" "$(trapper_values | cut -d= -f1 | sed -n '6,$p' | tr '\n' ' ')" \
  "dns-lab contDns[192.0.2.10] dns-lab percentDns[192.0.2.10] $(uncounted_values dns-lab | cut -d= -f1 | tr '\n' ' ')"
[ "$elapsed" -ge 25 ] || fail "five pauses of five seconds took only ${elapsed}s"
stop_trapper

# Nothing listens: every value is given up after its five attempts, and what
# the run could not count is not tried after them.
printf 'Sources Count %%\n' >"$report"
run_quillet coletarDns /p 127.0.0.1 dns-lab
refused="${RED}Erro ao enviar para o Zabbix: 127.0.0.1:10052: conexão falhou: Connection refused${RESET}"
expect_file_eq "server down: stdout" "$OUT" "$debug_line$(for _ in 1 2 3 4 5; do echo "$refused"; done)
[ERRO] 2 de 2 envios ao Zabbix falharam.
"
expect_eq "server down: status" "$STATUS" 1

# Redirects that are not followed: one red line, the pause, and the next
# attempt goes where the values went before.
printf 'Sources Count %%\n192.0.2.10 3 75.0 x\n' >"$report"
for row in \
  '5|4|servidor respondeu "failed" (redirecionamento de revisão 4 para "127.0.0.1:10054" ignorado: o de revisão 5 já foi seguido)|success,redirect,success|descobertaDns contDns[192.0.2.10] contDns[192.0.2.10] percentDns[192.0.2.10]' \
  '1|1|segundo redirecionamento na mesma tentativa, para "127.0.0.1:10054": não seguido|redirect,success|descobertaDns descobertaDns contDns[192.0.2.10] percentDns[192.0.2.10]'; do
  IFS='|' read -r a_revision b_revision cause b_script b_keys <<<"$row"
  b_keys="$b_keys $UNCOUNTED_KEYS"
  start_named_trapper a 127.0.0.1:10052 --script redirect --redirect 127.0.0.1:10053 --revision "$a_revision"
  start_named_trapper b 127.0.0.1:10053 --script "$b_script" --redirect 127.0.0.1:10054 --revision "$b_revision"
  start_named_trapper c 127.0.0.1:10054
  run_quillet coletarDns /p 127.0.0.1 dns-lab
  expect_file_eq "not followed ($cause): stdout" "$OUT" "$debug_line${RED}Erro ao enviar para o Zabbix: 127.0.0.1:10053: $cause${RESET}
OK!
"
  expect_eq "not followed ($cause): status" "$STATUS" 0
  expect_eq "not followed ($cause): the node" "$(keys_at a)" "descobertaDns"
  expect_eq "not followed ($cause): the first redirect's address" "$(keys_at b)" "$b_keys"
  expect_eq "not followed ($cause): the second's" "$(keys_at c)" ""
  stop_named_trappers
done

# Every node down: each attempt's line names each node with its cause; an
# IPv6 node cannot be reached from an IPv4 SourceIP.
printf 'Sources Count %%\n' >"$report"
mkdir -p /etc/quillet
printf 'SourceIP=127.0.0.2\n' >/etc/quillet/quillet.conf
run_quillet coletarDns /p '[::1]:10052;127.0.0.1:10062' dns-lab
refused="${RED}Erro ao enviar para o Zabbix: [::1]:10052: endereço IPv6, mas o endereço de origem 127.0.0.2 (SourceIP) é IPv4; 127.0.0.1:10062: conexão falhou: Connection refused${RESET}"
expect_file_eq "cluster down: stdout" "$OUT" "$debug_line$(for _ in 1 2 3 4 5; do echo "$refused"; done)
[ERRO] 2 de 2 envios ao Zabbix falharam.
"
expect_eq "cluster down: status" "$STATUS" 1

finish
