#!/usr/bin/env bash
# The capture side going wrong under the real binary: tools missing or killed,
# the working directory missing, taken by a directory, full or full of links,
# a second run during a capture, and a start with signals blocked. Each ends
# with the line and status that say what happened; nothing is sent from a
# capture that failed, and nothing outside the working directory is touched.
source "$E2E_DIR/lib.sh"

debug_line=$(capture_line)
no_packets="[ERRO] Nenhum pacote DNS capturado (arquivo .pcap vazio)."
no_report="[ERRO] Arquivo de saída não foi gerado."
capture_failed=" Erro ao Capturar dados do dnstop."
# dnstop leaves out the sandbox's own addresses, sorted as bytes.
own_words=$(ip -o addr show | awk '{ sub("/.*", "", $4); print $4 }' | LC_ALL=C sort -u | sed 's/^/-i /' | tr '\n' ' ')
dnstop_cmd="dnstop -l 2 -X -B 1048573 ${own_words}/dev/stdin < /home/quillet/dump.pcap > /home/quillet/dnstop_output.txt"
tcp_cmd="quillet-tcp ${own_words}< /home/quillet/tcp_dump.pcap 3< /home/quillet/dump.pcap > /home/quillet/tcp_output.txt"
tcp_failed=$'; as consultas TCP não foram contadas.'
# What tcpdump says at its end.
stats="echo '0 packets dropped by kernel' >&2"

report=$SCRATCH/report.txt
printf 'Sources Count %% cum%%\n192.0.2.10 3 75.0 75.0\n192.0.2.20 1 25.0 100.0\n' >"$report"
start_trapper

# A directory holding only what is named, as the whole PATH of a run.
only_tools() {
  local dir=$SCRATCH/path-$1
  shift
  rm -rf "$dir"
  mkdir -p "$dir"
  for tool in "$@"; do
    case $tool in
      */*) cp "$tool" "$dir/" ;;
      *) ln -s "$(command -v "$tool")" "$dir/$tool" ;;
    esac
  done
  echo "$dir"
}

fake_capture "$report"
cp "$SCRATCH/bin/tcpdump" "$SCRATCH/tcpdump"

# tcpdump missing: timeout cannot start it, no capture file appears.
new_deliveries
PATH=$(only_tools no-tcpdump timeout) run_quillet coletarDns /p 127.0.0.1 dns-lab
expect_eq "no tcpdump: status" "$STATUS" 1
expect_file_eq "no tcpdump: stdout" "$OUT" "$debug_line
$no_packets
$capture_failed
"
expect_eq "no tcpdump: nothing sent" "$(trapper_values)" ""

# dnstop missing: looked up on PATH before it is started, and named.
PATH=$(only_tools no-dnstop timeout "$SCRATCH/tcpdump") run_quillet coletarDns /p 127.0.0.1 dns-lab
expect_eq "no dnstop: status" "$STATUS" 1
expect_file_eq "no dnstop: stdout" "$OUT" "$debug_line
[ERRO] dnstop falhou: comando '$dnstop_cmd' não foi iniciado: dnstop não está no PATH
$capture_failed
"
expect_file_eq "no dnstop: stderr" "$ERR" ""
expect_eq "no dnstop: nothing sent" "$(trapper_values)" ""

# dnstop killed by a signal: no shell in between, the signal itself.
printf '#!/bin/sh\necho "Sources Count %%"\nkill -KILL $$\n' >"$SCRATCH/bin/dnstop"
run_quillet coletarDns /p 127.0.0.1 dns-lab
expect_eq "dnstop killed: status" "$STATUS" 1
expect_file_eq "dnstop killed: stdout" "$OUT" "$debug_line
[ERRO] dnstop falhou: comando '$dnstop_cmd' terminou pelo sinal 9 (Killed)
$capture_failed
"
expect_file_eq "dnstop killed: stderr" "$ERR" ""
expect_eq "dnstop killed: nothing sent" "$(trapper_values)" ""
fake_capture "$report"

# No working directory: the capture cannot write, and nothing creates it.
rmdir /home/quillet 2>/dev/null || rm -rf /home/quillet
run_quillet coletarDns /p 127.0.0.1 dns-lab
expect_eq "no working directory: status" "$STATUS" 1
expect_file_eq "no working directory: stdout" "$OUT" "$debug_line
$no_packets
$capture_failed
"
expect_eq "no working directory: still absent" "$(ls -d /home/quillet 2>&1 >/dev/null | wc -l)" 1
mkdir /home/quillet

# A directory at either working path: the clean-up cannot remove it, the run
# ends before any capture and leaves the directory as it was.
for name in dump.pcap dnstop_output.txt; do
  rm -rf /home/quillet/*
  mkdir "/home/quillet/$name"
  touch "/home/quillet/$name/inside"
  run_quillet coletarDns /p 127.0.0.1 dns-lab
  expect_eq "directory at $name: status" "$STATUS" 1
  expect_file_eq "directory at $name: stdout" "$OUT" ""
  expect_file_eq "directory at $name: stderr" "$ERR" \
    "quillet: falha não tratada (erro do sistema) na etapa \"captura\": não foi possível remover /home/quillet/$name: Is a directory
"
  expect_eq "directory at $name: left as it was" "$(ls -A "/home/quillet/$name")" inside
done
rm -rf /home/quillet/*
expect_eq "no run sent anything" "$(trapper_values)" ""

# Symlinks at both working paths: removed, never followed; their targets keep
# their bytes and the run goes on as usual.
printf 'keep me\n' >"$SCRATCH/target-pcap"
printf 'keep me too\n' >"$SCRATCH/target-report"
ln -s "$SCRATCH/target-pcap" /home/quillet/dump.pcap
ln -s "$SCRATCH/target-report" /home/quillet/dnstop_output.txt
new_deliveries
run_quillet coletarDns /p 127.0.0.1 dns-lab
expect_eq "symlinks: status" "$STATUS" 0
expect_eq "symlinks: targets untouched" "$(cat "$SCRATCH/target-pcap" "$SCRATCH/target-report")" \
  $'keep me\nkeep me too'
expect_eq "symlinks: working files are regular files now" \
  "$(find /home/quillet -mindepth 1 -type f -printf '%f ' | tr ' ' '\n' | sort | tr '\n' ' ')" \
  "dnstop_output.txt dump.pcap tcp_dump.pcap tcp_output.txt "
expect_eq "symlinks: deliveries" "$(trapper_values | wc -l)" 9

# A full disk. The working directory gets a tmpfs of 64 KiB with only a few
# pages left, and dnstop, like the real one, ends with status 0 even when its
# output could not be written.
mount -t tmpfs -o size=64k tmpfs /home/quillet
fill_to() { # fill_to FREE-KIB: an empty working directory with that much room left
  rm -f /home/quillet/*
  dd if=/dev/zero of=/home/quillet/filler bs=1k count=$((64 - $1)) status=none 2>/dev/null || true
}
cat >"$SCRATCH/bin/dnstop" <<EOF
#!/bin/sh
cat '$report' 2>/dev/null
exit 0
EOF
# No room at all: an empty capture file.
fill_to 0
new_deliveries
run_quillet coletarDns /p 127.0.0.1 dns-lab
expect_eq "disk full before the capture: status" "$STATUS" 1
expect_file_eq "disk full before the capture: stdout" "$OUT" "$debug_line
$no_packets
$capture_failed
"
# The UDP capture takes the last pages: dnstop can write nothing.
cat >"$SCRATCH/bin/tcpdump" <<EOF
#!/bin/sh
while [ \$# -gt 0 ]; do
  if [ "\$1" = "-w" ] && [ "\$2" = /home/quillet/dump.pcap ]; then cat /dev/zero >"\$2" 2>/dev/null; fi
  shift
done
$stats
EOF
fill_to 16
run_quillet coletarDns /p 127.0.0.1 dns-lab
expect_eq "disk full during the capture: status" "$STATUS" 1
expect_file_eq "disk full during the capture: stdout" "$OUT" "$debug_line
$no_report
$capture_failed
"
# Room for the captures and one page of report: dnstop's output is cut after
# its first 4 KiB, and the TCP reader then has no room for its counts: the
# run sends the ranking of what dnstop wrote, without TCP, and says so.
fake_capture "$SCRATCH/big-report.txt"
{
  echo "Sources          Count      %   cum%"
  echo "------------ --------- ------ ------"
  for i in $(seq 1 250); do printf '10.0.%d.%d %12d %6s %6s\n' $((i / 200)) $((i % 200)) $((1000 - i)) 0.3 50.0; done
  echo
  echo "Destinations     Count      %   cum%"
} >"$SCRATCH/big-report.txt"
expect_eq "nothing sent from the failed captures" "$(trapper_values | wc -l)" 0
fill_to 12
run_quillet coletarDns /p 127.0.0.1 dns-lab
expect_eq "report cut by a full disk: bytes kept" "$(stat -c %s /home/quillet/dnstop_output.txt)" 4096
expect_eq "report cut by a full disk: status" "$STATUS" 1
expect_file_eq "report cut by a full disk: stdout" "$OUT" "$debug_line
[ERRO] quillet-tcp falhou: comando '$tcp_cmd' terminou com status 1$tcp_failed
"
expect_eq "report cut by a full disk: the top twenty and the capture's losses sent" \
  "$(trapper_values | cut -d= -f1 | sed -n '1p;2p;41,$p')" "dns-lab descobertaDns
dns-lab contDns[10.0.0.1]
dns-lab percentDns[10.0.0.20]
dns-lab quillet.capture.dropped"
umount /home/quillet

# Started with standard output closed: descriptor 1 goes to whatever the run
# opens first (the lock, later a socket), and no console line may land there.
# Every value arrives as sent; the status says the output was lost.
fake_capture "$report"
new_deliveries
set +e
"$QUILLET_BIN" coletarDns /p 127.0.0.1 dns-lab >&- 2>"$ERR"
STATUS=$?
set -e
expect_eq "stdout closed: status" "$STATUS" 2
expect_file_eq "stdout closed: stderr" "$ERR" \
  $'quillet: não foi possível gravar a saída padrão no fim da execução: Bad file descriptor\n'
expect_eq "stdout closed: deliveries" "$(trapper_values)" "$(printf '%s\n' \
  'dns-lab descobertaDns={"data": [{"{#SOURCE}": "192.0.2.10", "{#CONTAGEM}": 3, "{#PERCENTUAL}": 75.0}, {"{#SOURCE}": "192.0.2.20", "{#CONTAGEM}": 1, "{#PERCENTUAL}": 25.0}]}' \
  'dns-lab contDns[192.0.2.10]=3' 'dns-lab percentDns[192.0.2.10]=75.0' \
  'dns-lab contDns[192.0.2.20]=1' 'dns-lab percentDns[192.0.2.20]=25.0' \
  "$(uncounted_values dns-lab)")"

# A second run while a capture is going on: it stops at the lock, touches
# nothing; the first run finishes and delivers everything.
cat >"$SCRATCH/bin/tcpdump" <<EOF
#!/bin/sh
while [ \$# -gt 0 ]; do
  if [ "\$1" = "-w" ]; then printf 'pcap' >"\$2"; fi
  shift
done
touch '$SCRATCH/capturing'
sleep 2
$stats
EOF
new_deliveries
rm -f "$SCRATCH/capturing"
("$QUILLET_BIN" coletarDns /p 127.0.0.1 dns-lab >"$SCRATCH/first.out" 2>&1; echo $? >"$SCRATCH/first.status") &
first=$!
for _ in $(seq 100); do [ -e "$SCRATCH/capturing" ] && break; sleep 0.05; done
listing_before=$(ls -l --time-style=+%s.%N /home/quillet)
run_quillet coletarDns /p 127.0.0.1 dns-lab
expect_eq "second run: status" "$STATUS" 1
expect_file_eq "second run: stdout" "$OUT" $'[ERRO] Outra coleta já está em execução em /home/quillet/.\n'
expect_eq "second run: working files untouched" "$(ls -l --time-style=+%s.%N /home/quillet)" "$listing_before"
wait "$first"
expect_eq "first run: status" "$(cat "$SCRATCH/first.status")" 0
expect_eq "first run: last line" "$(tail -n 1 "$SCRATCH/first.out")" "OK!"
expect_eq "only the first run delivered" "$(trapper_values | wc -l)" 9

# A hostile dnstop, one attack a run (tests/support/hostile_dnstop.py). Each
# attack fails, and the run gives the usual listing, or a bound cuts it short
# and the run ends with the line that names the bound. Afterwards the host is
# as it was: nothing written, the capture unchanged, no process of dnstop's
# user left, the same links, and quillet itself ended normally.
fake_capture "$report"
run_quillet coletarDns /p 127.0.0.1 debug
listing=$(cat "$OUT")
cp "$SUPPORT/hostile_dnstop.py" "$SCRATCH/"
cp "$(command -v id)" "$SCRATCH/suid-id"
chmod 4755 "$SCRATCH/suid-id"
links_before=$(ip -o link | awk '{print $2}')
passwd_before=$(md5sum </etc/passwd)
bound_line() { # bound_line PROGRAM CAUSE: the console of a run that a bound ended
  if [ "$1" = dnstop ]; then
    printf '%s\n' "$debug_line" "[ERRO] dnstop falhou: comando '$dnstop_cmd' $2" "$capture_failed"
  else
    # dnstop's ranking all the same, and no table of the reader's; a listing
    # asks the reader for its tables of dnstop's rows.
    printf '%s\n' "$debug_line" \
      "[ERRO] quillet-tcp falhou: comando '${tcp_cmd/"< "/"-t -c 192.0.2.10 -c 192.0.2.20 < "}' $2$tcp_failed" \
      "$(sed 1d <<<"$listing" | awk '/^quillet\.ranking/ { print; next }
        /^quillet\..*:$/ { print; print "(sem as contagens do leitor TCP)"; skip = 1; next }
        /^$/ { skip = 0 } !skip')"
  fi
}
# What a reader that found nothing writes for a listing, its tables included.
printf 'S 0\nB 0\nL 0\nQ 0 0\nR 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n' >"$SCRATCH/no-tcp"
hostile_rows=(
  "read_shadow listing"
  "write_workdir listing"
  "write_etc listing"
  "write_capture listing"
  "connect_trapper listing"
  "raw_socket listing"
  "privileged listing"
  "signal_parent listing"
  "interfaces listing"
  "setuid_binary listing"
  "allocate listing"
  "fork_bomb listing"
  "write_10g excedeu o limite de 256 MiB de saída (terminou com status 120)"
  "open_tty listing"
  "tiocsti listing"
  "unix_socket listing"
  "abstract_socket listing"
  "socket_pair listing"
  "write_shm listing"
  "sysv_shm listing"
  "keyring listing"
  "loop_forever excedeu o prazo de 60 s e foi encerrado"
  "close_stderr_spin excedeu o prazo de 60 s e foi encerrado"
  # The TCP reader parses the same strangers' bytes, in the same box.
  "tcp:read_shadow listing"
  "tcp:write_capture listing"
  "tcp:connect_trapper listing"
  "tcp:privileged listing"
  "tcp:unix_socket listing"
  "tcp:write_10g excedeu o limite de 256 MiB de saída (terminou com status 120)"
)
# What other programs of a host offer: a Unix socket anyone may write, one in
# the abstract namespace, a SysV segment anyone may attach.
python3 -c '
import os, select, socket, sys
listening = []
for address in (sys.argv[1], "\0quillet-hostile"):
    s = socket.socket(socket.AF_UNIX)
    s.bind(address)
    s.listen()
    listening.append(s)
os.chmod(sys.argv[1], 0o777)
while True:
    for s in select.select(listening, [], [])[0]:
        s.accept()
        print("connected", flush=True)' "$SCRATCH/open.sock" >"$SCRATCH/socket-log" &
listener=$!
ipcmk -M 4096 -p 0666 | awk '{ print $NF }' >"$SCRATCH/shmid"
for _ in $(seq 50); do [ -S "$SCRATCH/open.sock" ] && break; sleep 0.1; done
hz=$(getconf CLK_TCK)
new_deliveries
for row in "${hostile_rows[@]}"; do
  attack=${row%% *} outcome=${row#* } program=dnstop output=$report
  fake_capture "$report"
  if [[ $attack == tcp:* ]]; then attack=${attack#tcp:} program=quillet-tcp output=$SCRATCH/no-tcp; fi
  printf '#!/bin/sh\nexec python3 %s %s %s "$@"\n' "$SCRATCH/hostile_dnstop.py" "$attack" "$output" \
    >"$SCRATCH/bin/$program"
  started=$SECONDS
  set +e
  if [ "$attack" = tiocsti ]; then
    # From a pseudo-terminal that is its controlling terminal, as a root shell.
    python3 -c 'import pty, sys; sys.exit(pty.spawn(sys.argv[1:]) >> 8)' \
      sh -c 'exec "$0" coletarDns /p 127.0.0.1 debug >"$1" 2>"$2"' "$QUILLET_BIN" "$OUT" "$ERR" \
      </dev/null >/dev/null
    STATUS=$? ticks=-
  else
    # From a shell with a user key in its session keyring, as an admin's.
    launch=() && [ "$attack" != keyring ] || launch=(keyctl session - sh -c \
      'keyctl add user quillet-hostile s3cr3t @s >/home/scratch/keyid && exec "$@"' sh)
    # quillet's own processor time (not its children's), read until it ends.
    "${launch[@]}" "$QUILLET_BIN" coletarDns /p 127.0.0.1 debug >"$OUT" 2>"$ERR" &
    pid=$! ticks=0
    while [ -e "/proc/$pid/stat" ]; do
      2>/dev/null read -r -a stat <"/proc/$pid/stat" && ticks=$((stat[13] + stat[14]))
      sleep 0.2
    done
    wait "$pid"
    STATUS=$?
    expect_eq "hostile $attack: quillet's own CPU under 1 s" "$((ticks < hz))" 1
  fi
  set -e
  echo "hostile $attack: status $STATUS after $((SECONDS - started)) s, quillet's CPU $ticks/$hz s: $(head -c 300 "$ERR" | tr '\n' ' ')"
  if [ "$outcome" = listing ]; then
    expect_eq "hostile $attack: status" "$STATUS" 0
    expect_eq "hostile $attack: the usual listing" "$(cat "$OUT")" "$listing"
    expect_eq "hostile $attack: blocked" "$(grep -c "^hostile: $attack: bloqueado: " "$ERR")" 1
  else
    expect_eq "hostile $attack: status" "$STATUS" 1
    expect_eq "hostile $attack: the bound's line" "$(cat "$OUT")" "$(bound_line "$program" "$outcome")"
  fi
  expect_eq "hostile $attack: no success" "$(grep -c CONSEGUIU "$ERR")" 0
  expect_eq "hostile $attack: nothing written" "$(find /home/quillet /home/etc-upper -mindepth 1 | sort)" \
    "$(printf '%s\n' /home/etc-upper/passwd /home/quillet/{dnstop_output.txt,dump.pcap,tcp_dump.pcap} &&
      if [ "$program" != dnstop ] || [ "$outcome" = listing ]; then echo /home/quillet/tcp_output.txt; fi)"
  expect_eq "hostile $attack: /etc/passwd as the suite left it" "$(md5sum </etc/passwd)" "$passwd_before"
  expect_eq "hostile $attack: the capture unchanged" "$(cat /home/quillet/dump.pcap)" pcap
  # Only the stand-in's: other software on the machine may run as the user.
  expect_eq "hostile $attack: no process of the stand-in left" "$(pgrep -u _quillet -f -a hostile_dnstop)" ""
  expect_eq "hostile $attack: the same links" "$(ip -o link | awk '{print $2}')" "$links_before"
done
expect_eq "hostile: nothing reached the trapper" "$(trapper_values)" ""
kill "$listener"
ipcrm -m "$(cat "$SCRATCH/shmid")"
expect_eq "hostile: no connection to the sockets" "$(cat "$SCRATCH/socket-log")" ""
expect_eq "hostile: nothing typed at the terminal" "$(ls "$SCRATCH/typed" 2>&1 >/dev/null | wc -l)" 1
rm "$SCRATCH/suid-id"
fake_capture "$report"

# quillet without root, with CAP_NET_RAW only (as a unit with User= and
# AmbientCapabilities= would start it): the run goes on, dnstop runs without
# what quillet lacks, and one line says what that is.
chown nobody /home/quillet
set +e
setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=+net_raw --ambient-caps=+net_raw \
  "$QUILLET_BIN" coletarDns /p 127.0.0.1 debug >"$OUT" 2>"$ERR"
STATUS=$?
set -e
expect_eq "capabilities only: status" "$STATUS" 0
expect_eq "capabilities only: the listing after the line of what was not done" "$(cat "$OUT")" \
  "$(sed -n 1p <<<"$listing")
[AVISO] dnstop roda isolado só em parte: sem CAP_SYS_ADMIN, sem namespaces próprios de rede, processos e montagens; sem CAP_SETUID e CAP_SETGID, com o usuário desta execução em vez de _quillet; sem CAP_SETPCAP, sem esvaziar o conjunto limite de capacidades.
[AVISO] quillet-tcp roda isolado só em parte: sem CAP_SYS_ADMIN, sem namespaces próprios de rede, processos e montagens; sem CAP_SETUID e CAP_SETGID, com o usuário desta execução em vez de _quillet; sem CAP_SETPCAP, sem esvaziar o conjunto limite de capacidades.
$(sed -n '2,$p' <<<"$listing")"
rm -f /home/quillet/*
chown root /home/quillet

# Started with SIGTERM blocked (a careless parent), on a system whose /bin/sh
# keeps the signal mask (bash does, dash clears it): the capture still ends
# after its five seconds, as timeout can stop tcpdump. Last in the suite, since
# bash stays /bin/sh in this sandbox from here on.
mount --bind "$(command -v bash)" "$(readlink -f /bin/sh)"
cat >"$SCRATCH/bin/tcpdump" <<'EOF'
#!/bin/sh
while [ $# -gt 0 ]; do
  if [ "$1" = "-w" ]; then printf 'pcap' >"$2"; fi
  shift
done
echo '0 packets dropped by kernel' >&2
exec sleep 60
EOF
started=$SECONDS
set +e
python3 -c '
import os, signal, sys
signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM, signal.SIGINT, signal.SIGHUP})
os.execv(sys.argv[1], sys.argv[1:])' "$QUILLET_BIN" coletarDns /p 127.0.0.1 debug >"$OUT" 2>"$ERR"
STATUS=$?
set -e
elapsed=$((SECONDS - started))
expect_eq "signals blocked: status" "$STATUS" 0
expect_eq "signals blocked: listing" "$(sed -n 2p "$OUT")" "Modo DEBUG ativado:"
[ "$elapsed" -lt 15 ] || fail "signals blocked: the capture took ${elapsed}s"

finish
