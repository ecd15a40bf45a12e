#!/usr/bin/env bash
# The command line and the mode dispatch of the real binary: argument counts,
# mode words, exit statuses and which stream each message goes to.
source "$E2E_DIR/lib.sh"

unrecognised=$'Modo de execução não ecnontrado.\n'
missing_first='quillet: falha não tratada (argumento ausente) na etapa "leitura da linha de comando": o primeiro argumento (modo de execução) não foi passado'
missing_third='quillet: falha não tratada (argumento ausente) na etapa "leitura da linha de comando": o terceiro argumento (servidor Zabbix) não foi passado'
no_caminho='quillet: falha não tratada (configuração não definida) na etapa "despacho do modo coletarDns": a configuração caminho não está definida: coletarDns precisa do caminho, do servidor Zabbix e do host'

# No argument at all.
run_quillet
expect_eq "no argument: status" "$STATUS" 1
expect_file_eq "no argument: stdout" "$OUT" ""
expect_file_eq "no argument: stderr" "$ERR" "$missing_first"$'\n'

# The collection alone: it needs its path; no capture starts.
run_quillet coletarDns
expect_eq "coletarDns alone: status" "$STATUS" 1
expect_file_eq "coletarDns alone: stdout" "$OUT" ""
expect_file_eq "coletarDns alone: stderr" "$ERR" "$no_caminho"$'\n'

# Two arguments: the third is missing whatever the mode word; no mode runs.
for mode in coletarDns launch_coletarDns launch nada; do
  run_quillet "$mode" /tmp
  expect_eq "two arguments ($mode): status" "$STATUS" 1
  expect_file_eq "two arguments ($mode): stdout" "$OUT" ""
  expect_file_eq "two arguments ($mode): stderr" "$ERR" "$missing_third"$'\n'
done

# Words that are neither the collection nor hold "launch_".
for args in "launch" "launch x y z" "Coletardns x y z" "coletarDns  x y z" "COLETARDNS x y" \
  "launch- x y" "LAUNCH_coletarDns x y"; do
  # shellcheck disable=SC2086
  set -- $args
  [ "$1" = "coletarDns" ] && set -- "coletarDns " "${@:2}"
  run_quillet "$@"
  expect_eq "mode '$1': status" "$STATUS" 1
  expect_file_eq "mode '$1': stdout" "$OUT" "$unrecognised"
  expect_file_eq "mode '$1': stderr" "$ERR" ""
done
run_quillet ""
expect_eq "empty mode: status" "$STATUS" 1
expect_file_eq "empty mode: stdout" "$OUT" "$unrecognised"

# No capture ran in any of these.
expect_eq "working directory untouched" "$(ls -A /home/quillet)" ""

finish
