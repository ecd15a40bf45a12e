#include "collect.h"

#include <memory>
#include <optional>

#include "capture.h"
#include "os.h"
#include "quillet.h"
#include "tls.h"

namespace quillet {

namespace {

// Captures and reads the report while holding the working directory's lock, so
// that a second run cannot remove or overwrite the files in between; the lock
// goes before the deliveries. Returns the ranking, or nothing when another run
// holds the lock or the capture failed (the lines are printed): nothing was
// collected, and a scheduler must see that.
std::optional<std::vector<SourceRecord>> capture_and_rank(Context& ctx,
                                                          const CaptureSetup& capture) {
  // The capture and the report hold every client's address and queries: the
  // tools inherit a mask that keeps both files to their owner.
  restrict_new_files();
  const std::optional<Fd> lock = try_lock_directory(capture.work_dir);
  if (!lock) {
    println(ctx.out, "[ERRO] Outra coleta já está em execução em " + capture.work_dir + ".");
    return std::nullopt;
  }
  if (!capturar_dnstop(capture, ctx.out, ctx.runner, ctx.contained)) {
    println(ctx.out, " Erro ao Capturar dados do dnstop.");
    return std::nullopt;
  }
  TopSelection top(kTopLimit);
  analisarRelatorio(capture.caminho_arquivo, [&](const RecordView& r) { top.add(r); });
  return top.take();
}

void print_listing(const std::vector<SourceRecord>& top20, std::ostream& out) {
  println(out, "Modo DEBUG ativado:");
  println(out,
          std::string(GREEN) + "\nVersão do script: " + std::string(VERSION) + std::string(RESET));
  for (const SourceRecord& record : top20)
    println(out, debug_line(record));
}

}  // namespace

std::vector<ZabbixMetric> run_values(const std::string& zabbix_host,
                                     const std::vector<SourceRecord>& ranking) {
  std::vector<ZabbixMetric> values{{zabbix_host, "descobertaDns", discovery_document(ranking)}};
  for (const SourceRecord& record : ranking) {
    values.push_back({zabbix_host, "contDns[" + record.source + "]", record.contagem});
    values.push_back({zabbix_host, "percentDns[" + record.source + "]", record.percentual});
  }
  return values;
}

DeliverySetup delivery_setup(const Configuration& config,
                             const std::optional<std::string>& zabbix_server,
                             const DeliveryBounds& bounds) {
  DeliverySetup setup{.nodes = {}, .tls = {}, .source = {}, .bounds = bounds};
  if (zabbix_server) setup.nodes = parse_server_nodes(*zabbix_server, config.server_port);
  if (config.tls_connect != TlsConnect::unencrypted) {
    setup.tls = std::make_shared<const TlsClient>(config);
  }
  // The configuration checked the form: an address it accepted converts.
  if (config.source_ip.given()) setup.source = source_address(config.source_ip.value);
  return setup;
}

int coletarDns(const std::string& /*caminho_arquivo: the capture decides the report*/,
               Context& ctx) {
  // Before anything is captured: a configuration or a server that cannot be
  // used costs no capture and sends nothing. The debug listing does not look
  // at the server.
  const std::string& zabbix_host = ctx.settings.zabbix_host.value();
  const bool listing = zabbix_host == "debug";
  const Configuration config = read_configuration(ctx.configuration_file).value_or(Configuration{});
  const DeliverySetup setup =
      delivery_setup(config, listing ? std::nullopt : ctx.settings.zabbix_server, ctx.delivery);
  CaptureSetup capture = ctx.capture;
  if (config.interface.given()) capture.interface = config.interface.value;

  const std::optional<std::vector<SourceRecord>> top20 = capture_and_rank(ctx, capture);
  if (!top20) return 1;
  if (listing) {
    print_listing(*top20, ctx.out);
    return 0;
  }

  ZabbixSender zbx = setup.sender();
  std::optional<DeliveryOutcome> discovery;  // the first value's
  int given_up = 0, values_delivered = 0, values_refused = 0;
  const std::vector<ZabbixMetric> values = run_values(zabbix_host, *top20);
  for (const ZabbixMetric& value : values) {
    const DeliveryOutcome outcome =
        send_zabbix(zbx, value.host, value.key, value.value, setup.bounds, ctx.out, ctx.pause);
    if (outcome == DeliveryOutcome::given_up) {
      ++given_up;
    } else if (discovery) {
      ++values_delivered;
      if (outcome == DeliveryOutcome::refused) ++values_refused;
    }
    if (!discovery) discovery = outcome;
  }

  // "success" with "failed: 1" stores nothing: a refused discovery means the
  // host is unknown, not linked or not allowed, and every run would fail alike.
  const bool discovery_refused = discovery == DeliveryOutcome::refused;
  if (discovery_refused) {
    println(ctx.out, "[ERRO] O Zabbix recusou a descoberta (descobertaDns) do host \"" +
                         zabbix_host +
                         "\": confira o nome do host, o template e os hosts permitidos.");
  } else if (values_refused > 0) {
    println(ctx.out, "[AVISO] O Zabbix recusou " + std::to_string(values_refused) + " de " +
                         std::to_string(values_delivered) +
                         " valores: endereços novos só são aceitos depois que a descoberta "
                         "cria seus itens.");
  }
  if (given_up > 0) {
    println(ctx.out, "[ERRO] " + std::to_string(given_up) + " de " + std::to_string(values.size()) +
                         " envios ao Zabbix falharam.");
    return 1;
  }
  if (discovery_refused) return 1;
  println(ctx.out, "OK!");
  return 0;
}

}  // namespace quillet
