#!/usr/bin/env bash
# The collection run of the real binary with a faked capture: the debug
# listing byte for byte (the one suite that holds it whole: the others check
# its records), the deliveries as a trapper sees them, the ranking, and the
# exit statuses that tell a scheduler the truth.
source "$E2E_DIR/lib.sh"

E=$'\e'
debug_line="$(capture_line)"$'\n'
listing_head=$'Modo DEBUG ativado:\n'"$E"$'[0;32m\nVersão do script: '"$QUILLET_VERSION$E"$'[0;0m\n'

report=$SCRATCH/report.txt
cat >"$report" <<'EOF'
dnstop summary

Sources          Count      %   cum%
------------ --------- ------ ------
192.0.2.10         152   61.3   61.3
2001:db8::1         40   16.1   77.4
192.0.2.11          40   16.1%  93.5
gateway             12    4.8   98.3
198.51.100.7        40   16.1   99.9
203.0.113.5          4    1.6  100.0

Destinations     Count      %   cum%
------------ --------- ------ ------
192.0.2.99         999   99.0   99.0
EOF
fake_capture "$report"
start_trapper

# Debug listing: nothing is sent, whatever the server argument. Started with
# the most open umask, the working files still come out private.
umask 000
run_quillet coletarDns /ignored 192.0.2.1 debug
umask 022
expect_eq "debug: status" "$STATUS" 0
expect_file_eq "debug: stdout" "$OUT" "$debug_line$listing_head\
{'{#SOURCE}': '192.0.2.10', '{#CONTAGEM}': 152, '{#PERCENTUAL}': 61.3}
{'{#SOURCE}': '2001:db8::1', '{#CONTAGEM}': 40, '{#PERCENTUAL}': 16.1}
{'{#SOURCE}': '198.51.100.7', '{#CONTAGEM}': 40, '{#PERCENTUAL}': 16.1}
{'{#SOURCE}': '203.0.113.5', '{#CONTAGEM}': 4, '{#PERCENTUAL}': 1.6}

quillet.ranking (não enviado; EnableRanking=1 o envia):
#  client        queries   share
1  192.0.2.10        152  61.3 %
2  2001:db8::1        40  16.1 %
2  198.51.100.7       40  16.1 %
4  203.0.113.5         4   1.6 %

quillet.names (não enviado; EnableQueryTables=1 o envia):
#  name  queries  share
(no DNS query with a question from any client in the capture)

quillet.client_names (não enviado; EnableQueryTables=1 o envia):
#  client        queries  names asked most (queries)
1  192.0.2.10        152  -
2  2001:db8::1        40  -
2  198.51.100.7       40  -
4  203.0.113.5         4  -

quillet.qtypes (não enviado; EnableQueryTables=1 o envia):
type  queries  share
(no DNS query with a question from any client in the capture)

quillet.answers, quillet.rcode[*] (não enviados; EnableResponseCodes=1 os envia):
quillet.answers=0
quillet.rcode[NOERROR]=0.0
quillet.rcode[NXDOMAIN]=0.0
quillet.rcode[SERVFAIL]=0.0
quillet.rcode[REFUSED]=0.0
quillet.rcode[other]=0.0

quillet.client_rcodes (não enviado; EnableResponseCodes=1 o envia):
#  client        answers  NOERROR  NXDOMAIN  SERVFAIL  REFUSED  other
1  192.0.2.10          -        -         -         -        -      -
2  2001:db8::1         -        -         -         -        -      -
2  198.51.100.7        -        -         -         -        -      -
4  203.0.113.5         -        -         -         -        -      -
"
expect_file_eq "debug: stderr" "$ERR" ""
# Three arguments: server and host are both "debug".
run_quillet coletarDns /ignored debug
expect_eq "three arguments, debug: status" "$STATUS" 0
expect_eq "three arguments, debug: listing" "$(sed -n 2p "$OUT")" "Modo DEBUG ativado:"
expect_eq "debug runs sent nothing" "$(trapper_values)" ""
# The working files stay for inspection until the next run.
expect_eq "working files after a run" "$(ls /home/quillet | tr '\n' ' ')" "dnstop_output.txt dump.pcap tcp_dump.pcap tcp_output.txt "
expect_eq "working files: owner only" "$(stat -c '%a %n' /home/quillet/* | tr '\n' ' ')" \
  "600 /home/quillet/dnstop_output.txt 600 /home/quillet/dump.pcap 600 /home/quillet/tcp_dump.pcap 600 /home/quillet/tcp_output.txt "

# Deliveries: document first, then count and percentage per ranked address;
# the host is the last argument.
run_quillet coletarDns /ignored 127.0.0.1 ignored-a ignored-b dns-lab
expect_eq "deliveries: status" "$STATUS" 0
expect_file_eq "deliveries: stdout" "$OUT" "$debug_line"$'OK!\n'
expect_file_eq "deliveries: stderr" "$ERR" ""
expect_eq "deliveries: what the trapper received" "$(trapper_values)" \
  'dns-lab descobertaDns={"data": [{"{#SOURCE}": "192.0.2.10", "{#CONTAGEM}": 152, "{#PERCENTUAL}": 61.3}, {"{#SOURCE}": "2001:db8::1", "{#CONTAGEM}": 40, "{#PERCENTUAL}": 16.1}, {"{#SOURCE}": "198.51.100.7", "{#CONTAGEM}": 40, "{#PERCENTUAL}": 16.1}, {"{#SOURCE}": "203.0.113.5", "{#CONTAGEM}": 4, "{#PERCENTUAL}": 1.6}]}
dns-lab contDns[192.0.2.10]=152
dns-lab percentDns[192.0.2.10]=61.3
dns-lab contDns[2001:db8::1]=40
dns-lab percentDns[2001:db8::1]=16.1
dns-lab contDns[198.51.100.7]=40
dns-lab percentDns[198.51.100.7]=16.1
dns-lab contDns[203.0.113.5]=4
dns-lab percentDns[203.0.113.5]=1.6
'"$(uncounted_values dns-lab)"

# Three arguments: the server is also the host name; five: the last one is.
new_deliveries
run_quillet coletarDns /ignored 127.0.0.1
expect_eq "three arguments: status" "$STATUS" 0
expect_eq "three arguments: filed under" "$(trapper_values | cut -d' ' -f1 | sort -u)" "127.0.0.1"
new_deliveries
run_quillet coletarDns /ignored 127.0.0.1 not-the-host dns-five
expect_eq "five arguments: filed under" "$(trapper_values | cut -d' ' -f1 | sort -u)" "dns-five"

# A host name that only resembles "debug" is an ordinary host.
for host in Debug "debug "; do
  new_deliveries
  run_quillet coletarDns /ignored 127.0.0.1 "$host"
  expect_eq "host '$host': status" "$STATUS" 0
  expect_eq "host '$host': deliveries" "$(trapper_values | wc -l)" 13
  expect_eq "host '$host': filed under" "$(trapper_values | sed -n 1p | cut -d' ' -f1)" "${host%% *}"
done

# 25 data lines with ties across the cut: the twenty greatest counts, equal
# counts in report order; the last five are neither listed nor sent.
{
  echo "Sources Count % cum%"
  for i in $(seq 1 25); do
    count=$(((i % 5) * 10 + 1))
    echo "10.0.0.$i $count 4.0 x"
  done
} >"$report"
new_deliveries
run_quillet coletarDns /ignored 127.0.0.1 dns-lab
expected_order=$(for c in 41 31 21 11 1; do
  for i in $(seq 1 25); do [ $(((i % 5) * 10 + 1)) -eq "$c" ] && echo "10.0.0.$i"; done
done | sed -n 1,20p | tr '\n' ' ')
sent_order=$(trapper_values | sed -n 's/^dns-lab contDns\[\(.*\)\]=.*/\1/p' | tr '\n' ' ')
expect_eq "top 20: ranked and cut" "$sent_order" "$expected_order"
expect_eq "top 20: deliveries" "$(trapper_values | wc -l)" 45
expect_eq "top 20: status" "$STATUS" 0

# A report without a usable line: the empty document alone, then OK!.
printf 'Sources Count %%\n------\ngateway 1 2 3\n' >"$report"
new_deliveries
run_quillet coletarDns /ignored 127.0.0.1 dns-lab
expect_eq "empty table: deliveries" "$(trapper_values)" 'dns-lab descobertaDns={"data": []}
'"$(uncounted_values dns-lab)"
expect_file_eq "empty table: stdout" "$OUT" "$debug_line"$'OK!\n'
expect_eq "empty table: status" "$STATUS" 0

# A failed capture ends with status 1 after the capture's line and the run's.
fake_capture "$report" 3
new_deliveries
run_quillet coletarDns /ignored 127.0.0.1 dns-lab
expect_eq "dnstop failed: status" "$STATUS" 1
expect_eq "dnstop failed: last line" "$(tail -1 "$OUT")" " Erro ao Capturar dados do dnstop."
expect_eq "dnstop failed: line before" "$(sed -n 2p "$OUT" | cut -c1-22)" "[ERRO] dnstop falhou: "
expect_eq "dnstop failed: nothing sent" "$(trapper_values)" ""
printf '#!/bin/sh\nexit 0\n' >"$SCRATCH/bin/tcpdump"
run_quillet coletarDns /ignored 127.0.0.1 dns-lab
expect_file_eq "no capture: stdout" "$OUT" "$debug_line"'[ERRO] Nenhum pacote DNS capturado (arquivo .pcap vazio).
 Erro ao Capturar dados do dnstop.
'
expect_eq "no capture: status" "$STATUS" 1

# Output that cannot be written turns the listing's status 0 into 2.
fake_capture "$SCRATCH/report-small.txt"
printf 'Sources Count %%\n192.0.2.1 1 100 x\n' >"$SCRATCH/report-small.txt"
set +e
"$QUILLET_BIN" coletarDns /ignored 127.0.0.1 debug >/dev/full 2>"$ERR"
STATUS=$?
set -e
expect_eq "unwritable listing: status" "$STATUS" 2
expect_eq "unwritable listing: report" "$(cat "$ERR")" \
  "quillet: não foi possível gravar a saída padrão no fim da execução: No space left on device"

# The configuration file: read before anything is captured. A file that cannot
# be used is one report on standard error, status 1, and the working files
# (a marker here) untouched.
fake_capture "$SCRATCH/report-small.txt"
mkdir -m 755 /etc/quillet
conf_errors=(
  "TLSConnect=psk|0644|quillet: /etc/quillet/quillet.conf:1: TLSConnect=psk requer TLSPSKIdentity e TLSPSKFile; faltam TLSPSKIdentity e TLSPSKFile"
  'Interface=eth0;reboot|0644|quillet: /etc/quillet/quillet.conf:1: valor "eth0;reboot" inválido para Interface; use o nome de uma interface de rede: de 1 a 15 letras, dígitos, ".", "_" ou "-"'
  'SourceIP=dns01.example.org|0644|quillet: /etc/quillet/quillet.conf:1: valor "dns01.example.org" inválido para SourceIP; use um endereço IPv4 ou IPv6 numérico'
  'PersistentBufferPeriod=8d|0644|quillet: /etc/quillet/quillet.conf:1: valor "8d" inválido para PersistentBufferPeriod; use de 1m a 168h: um número de segundos, ou seguido de s, m, h ou d'
  "ServerPort=10051|0664|quillet: /etc/quillet/quillet.conf: permissões 0664 permitem escrita por grupo ou outros; use chmod 600 (ou 644)"
  "TLSPSKFile=/etc/quillet/psk.key|0644|quillet: /etc/quillet/quillet.conf:1: TLSPSKFile só se usa com TLSConnect=psk, mas TLSConnect não foi definido (unencrypted)"
)
for row in "${conf_errors[@]}"; do
  IFS='|' read -r text mode report <<<"$row"
  printf '%s\n' "$text" >/etc/quillet/quillet.conf
  chmod "$mode" /etc/quillet/quillet.conf
  echo marker >/home/quillet/dump.pcap
  new_deliveries
  run_quillet coletarDns /ignored 127.0.0.1 dns-lab
  expect_eq "configuration '$text' ($mode): status" "$STATUS" 1
  expect_eq "configuration '$text' ($mode): report" "$(cat "$ERR")" "$report"
  expect_eq "configuration '$text' ($mode): nothing printed" "$(cat "$OUT")" ""
  expect_eq "configuration '$text' ($mode): nothing captured" "$(cat /home/quillet/dump.pcap)" marker
  expect_eq "configuration '$text' ($mode): nothing sent" "$(trapper_values)" ""
done

# The shipped example, all of it comments, changes nothing.
install -m 644 "$E2E_DIR/../../examples/quillet.conf" /etc/quillet/quillet.conf
run_quillet coletarDns /ignored 127.0.0.1 debug
expect_eq "example configuration: status" "$STATUS" 0
expect_eq "example configuration: stderr" "$(cat "$ERR")" ""

# ServerPort and a PSK: every value reaches a trapper that speaks TLS only, on
# the stock port; the console is what it is without the file.
psk=$(printf '5a%.0s' $(seq 32))
printf '%s\n' "$psk" >/etc/quillet/psk.key
chmod 600 /etc/quillet/psk.key
printf 'ServerPort=10051\nTLSConnect=psk\nTLSPSKIdentity=dns-lab psk\nTLSPSKFile=/etc/quillet/psk.key\n' \
  >/etc/quillet/quillet.conf
chmod 644 /etc/quillet/quillet.conf
stop_trapper
start_trapper success --listen 127.0.0.1:10051 --tls-psk "dns-lab psk:$psk"
new_deliveries
run_quillet coletarDns /ignored 127.0.0.1 dns-lab
expect_eq "psk on 10051: status" "$STATUS" 0
expect_file_eq "psk on 10051: stdout" "$OUT" "$debug_line"$'OK!\n'
expect_eq "psk on 10051: what the trapper received" "$(trapper_values)" \
  'dns-lab descobertaDns={"data": [{"{#SOURCE}": "192.0.2.1", "{#CONTAGEM}": 1, "{#PERCENTUAL}": 100.0}]}
dns-lab contDns[192.0.2.1]=1
dns-lab percentDns[192.0.2.1]=100.0
'"$(uncounted_values dns-lab)"
stop_trapper

# The capture's interface from the configuration; "any" with the cooked
# headers that dnstop reads.
for row in "eth1|-i eth1 -w" "any|-i any -y LINUX_SLL -w"; do
  IFS='|' read -r interface words <<<"$row"
  printf 'Interface=%s\n' "$interface" >/etc/quillet/quillet.conf
  run_quillet coletarDns /ignored 127.0.0.1 debug
  expect_eq "Interface=$interface: debug line" "$(sed -n 1p "$OUT")" "$(capture_line "$interface")"
  expect_eq "Interface=$interface: tcpdump's arguments" \
    "$(cat "$SCRATCH/bin/dump.pcap.args" "$SCRATCH/bin/tcp_dump.pcap.args")" \
    "--immediate-mode -B 65536 -s 512 $words /home/quillet/dump.pcap udp port 53
--immediate-mode -B 32768 -s 65535 $words /home/quillet/tcp_dump.pcap tcp port 53 or (ip[6:2] & 0x1fff != 0 and ip[9] = 6) or (ip6[6] = 44 and ip6[40] = 6)"
  expect_eq "Interface=$interface: status" "$STATUS" 0
done
rm /etc/quillet/quillet.conf

# A server argument that cannot be used ends the run before the capture.
bad_server="quillet: falha não tratada (argumento inválido) na etapa \"leitura da linha de comando\": servidor Zabbix"
server_errors=(
  "a;;b|$bad_server \"a;;b\": o nó 2 está vazio"
  "zbx:0|$bad_server \"zbx:0\": o nó 1 (\"zbx:0\") tem a porta \"0\" inválida; use um número de 1 a 65535"
  "[::1;zbx|$bad_server \"[::1;zbx\": o nó 1 (\"[::1\") abre \"[\" sem fechar com \"]\""
)
for row in "${server_errors[@]}"; do
  IFS='|' read -r server report <<<"$row"
  echo marker >/home/quillet/dump.pcap
  run_quillet coletarDns /ignored "$server" dns-lab
  expect_eq "server '$server': status" "$STATUS" 1
  expect_eq "server '$server': report" "$(cat "$ERR")" "$report"
  expect_eq "server '$server': nothing printed" "$(cat "$OUT")" ""
  expect_eq "server '$server': nothing captured" "$(cat /home/quillet/dump.pcap)" marker
  # The debug listing sends nothing and does not look at the server.
  run_quillet coletarDns /ignored "$server" debug
  expect_eq "server '$server', debug: status" "$STATUS" 0
done

# --- HA cluster nodes and a proxy group's redirects ------------------------
# Each run sends the discovery, the count and the percentage, then what it
# could not count.
all_keys="descobertaDns contDns[192.0.2.1] percentDns[192.0.2.1] $UNCOUNTED_KEYS"

# The first node refuses; the second takes the first value, slowly enough for
# the first to come up meanwhile; the later values go where the first went.
start_named_trapper b 127.0.0.1:10052 --script drip,success --drip-pieces 4 --drip-gap 500
(
  set +e
  "$QUILLET_BIN" coletarDns /p "127.0.0.1:10062;127.0.0.1:10052" dns-lab >"$OUT" 2>"$ERR"
  echo $? >"$SCRATCH/status"
) &
run=$!
for _ in $(seq 100); do
  [ -s "$SCRATCH/b.log" ] && break
  sleep 0.02
done
start_named_trapper a 127.0.0.1:10062
wait "$run"
expect_eq "failover: status" "$(cat "$SCRATCH/status")" 0
expect_file_eq "failover: stdout" "$OUT" "$debug_line"$'OK!\n'
expect_eq "failover: the second node" "$(keys_at b)" "$all_keys"
expect_eq "failover: the first node, up after the first value" "$(keys_at a)" ""
stop_named_trappers

# A redirect without a port goes to 10051; it is followed silently, and the
# later values go straight there.
start_named_trapper a 127.0.0.1:10052 --script redirect --redirect 127.0.0.1 --revision 3
start_named_trapper b 127.0.0.1:10051
run_quillet coletarDns /p 127.0.0.1 dns-lab
expect_eq "redirect: status" "$STATUS" 0
expect_file_eq "redirect: stdout" "$OUT" "$debug_line"$'OK!\n'
expect_eq "redirect: the node" "$(keys_at a)" "descobertaDns"
expect_eq "redirect: where it sent the values" "$(keys_at b)" "$all_keys"
stop_named_trappers

# IPv6 nodes and redirect addresses in brackets, with their ports.
if ip -6 addr show dev lo | grep -q '::1/128'; then
  start_named_trapper a '[::1]:10054' --script redirect --redirect '[::1]:10053'
  start_named_trapper b '[::1]:10053'
  run_quillet coletarDns /p '[::1]:10054' dns-lab
  expect_file_eq "IPv6 redirect: stdout" "$OUT" "$debug_line"$'OK!\n'
  expect_eq "IPv6 redirect: the node" "$(keys_at a)" "descobertaDns"
  expect_eq "IPv6 redirect: where it sent the values" "$(keys_at b)" "$all_keys"
  stop_named_trappers
else
  echo "no IPv6 on the sandbox's loopback: IPv6 redirect not checked"
fi

# A reset sends the values back to the node, in the same attempt.
start_named_trapper a 127.0.0.1:10052 --script redirect,success --redirect 127.0.0.1:10053
start_named_trapper b 127.0.0.1:10053 --script success,redirect-reset
run_quillet coletarDns /p 127.0.0.1 dns-lab
expect_file_eq "reset: stdout" "$OUT" "$debug_line"$'OK!\n'
expect_eq "reset: the node" "$(keys_at a)" "$all_keys"
expect_eq "reset: the redirect's address" "$(keys_at b)" "descobertaDns contDns[192.0.2.1]"
stop_named_trappers

# SourceIP: every connection, to the node and to where it redirects, from it.
printf 'SourceIP=127.0.0.2\n' >/etc/quillet/quillet.conf
start_named_trapper a 127.0.0.1:10052 --script redirect --redirect 127.0.0.1:10053
start_named_trapper b 127.0.0.1:10053
run_quillet coletarDns /p 127.0.0.1 dns-lab
expect_file_eq "SourceIP: stdout" "$OUT" "$debug_line"$'OK!\n'
expect_eq "SourceIP: clients" "$(cat "$SCRATCH/a.peers" "$SCRATCH/b.peers" | sort | uniq -c | tr -s ' ')" \
  " 5 127.0.0.2"
stop_named_trappers
rm /etc/quillet/quillet.conf

finish
