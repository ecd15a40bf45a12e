#include "collect.h"

#include <iterator>
#include <memory>
#include <optional>
#include <utility>

#include "buffer_run.h"
#include "capture.h"
#include "os.h"
#include "query_tables.h"
#include "quillet.h"
#include "tls.h"
#include "transports.h"

namespace quillet {

namespace {

// What a run collected: its ranking, and what it could not count.
struct Collected {
  std::vector<SourceRecord> top20;
  Capture capture;
  std::optional<TcpCounts> tcp;  // none: no TCP reader, or it failed
};

// Captures and reads the report while holding the working directory's lock, so
// that a second run cannot remove or overwrite the files in between; the lock
// goes before the deliveries. Returns the ranking, or nothing when another run
// holds the lock or the capture failed (the lines are printed): nothing was
// collected, and a scheduler must see that. A failed TCP reader costs the TCP
// queries only: the ranking is dnstop's.
std::optional<Collected> capture_and_rank(Context& ctx, const CaptureSetup& capture) {
  // The capture and the report hold every client's address and queries: the
  // tools inherit a mask that keeps both files to their owner.
  restrict_new_files();
  const std::optional<Fd> lock = try_lock_directory(capture.work_dir);
  if (!lock) {
    println(ctx.out, "[ERRO] Outra coleta já está em execução em " + capture.work_dir + ".");
    return std::nullopt;
  }
  const std::optional<Capture> captured =
      capturar_dnstop(capture, ctx.out, ctx.runner, ctx.contained, ctx.wall_clock);
  if (!captured) {
    println(ctx.out, " Erro ao Capturar dados do dnstop.");
    return std::nullopt;
  }
  Collected run{{}, *captured, std::nullopt};
  TopSelection top(kTopLimit);
  if (!capture.tcp_reader.empty() && !captured->tcp_failed)
    run.tcp = read_tcp_counts(capture.caminho_tcp, capture.tables);
  const TcpCounts tcp = run.tcp.value_or(TcpCounts{});
  if (tcp.without_start > 0) {
    println(ctx.out,
            "[AVISO] TCP: " + std::to_string(tcp.without_start) +
                " conexões começaram antes da captura; suas consultas não foram contadas.");
  }
  if (tcp.broken > 0) {
    println(ctx.out, "[AVISO] TCP: " + std::to_string(tcp.broken) +
                         " conexões com enquadramento inválido; suas consultas seguintes não "
                         "foram contadas.");
  }
  if (tcp.left_out > 0) {
    println(ctx.out, "[AVISO] TCP: " + std::to_string(tcp.left_out) +
                         " conexões deixadas de fora nos limites do leitor; suas consultas não "
                         "foram contadas.");
  }
  if (tcp.sources.empty()) {
    // Only UDP: dnstop's own counts and percentages, as it wrote them.
    analisarRelatorio(capture.caminho_arquivo, [&](const RecordView& r) { top.add(r); });
    run.top20 = top.take();
    return run;
  }
  std::vector<SourceRecord> udp;
  analisarRelatorio(capture.caminho_arquivo, [&](const RecordView& r) {
    udp.push_back({std::string(r.source), r.contagem, r.percentual});
  });
  for (const SourceRecord& r : with_tcp(udp, udp_total(capture.caminho_arquivo, udp), tcp))
    top.add({r.source, r.contagem, r.percentual});
  run.top20 = top.take();
  return run;
}

// What delivering a run's values came to.
struct RunDelivery {
  std::optional<DeliveryOutcome> discovery;  // the first value's
  int delivered = 0, refused = 0;            // of the values after the discovery
  std::vector<ZabbixMetric> unsent;          // given up, or skipped after one was
  bool last_unsent = false;                  // the last value: no node answered at the end
  int failed_requests = 0;                   // of the unsent
};

// Sends `values` one by one, the discovery first. With the buffer, a value
// given up means no node answers: the values after it go straight to the
// buffer instead of costing every attempt again; a delivered discovery
// announces its `listed` clients to the buffer.
RunDelivery deliver(ZabbixSender& zbx, const std::vector<ZabbixMetric>& values,
                    const DeliveryBounds& bounds, Context& ctx, BufferRun* buffer,
                    const std::vector<SourceRecord>& listed) {
  RunDelivery sent;
  for (const ZabbixMetric& value : values) {
    sent.last_unsent = true;
    if (buffer && !sent.unsent.empty()) {
      sent.unsent.push_back(value);
      ++sent.failed_requests;
      continue;
    }
    const DeliveryOutcome outcome = send_zabbix(zbx, value, bounds, ctx.out, ctx.pause);
    sent.last_unsent = outcome == DeliveryOutcome::given_up;
    if (outcome == DeliveryOutcome::given_up) {
      sent.unsent.push_back(value);
      ++sent.failed_requests;
    } else if (sent.discovery) {
      ++sent.delivered;
      if (outcome == DeliveryOutcome::refused) ++sent.refused;
    }
    if (!sent.discovery) {
      sent.discovery = outcome;
      if (buffer && outcome == DeliveryOutcome::delivered) {
        buffer->announce(listed);
      }
    }
  }
  return sent;
}

// What the run could not count, as host items: the packets the captures lost
// (when tcpdump said), and the TCP streams whose queries the reader could not
// count (when it ran).
std::vector<ZabbixMetric> uncounted_values(const std::string& zabbix_host, const Capture& capture,
                                           const std::optional<TcpCounts>& tcp,
                                           const ValueClock& clock) {
  std::vector<ZabbixMetric> values;
  if (capture.loss)
    values.push_back({zabbix_host, "quillet.capture.dropped", capture.loss->total(), clock});
  if (tcp) {
    values.push_back({zabbix_host, "quillet.tcp.left_out", tcp->left_out, clock});
    values.push_back({zabbix_host, "quillet.tcp.before_window", tcp->without_start, clock});
    values.push_back({zabbix_host, "quillet.tcp.broken", tcp->broken, clock});
  }
  return values;
}

// "<item>:" or, when the run would not send it, what sends it.
std::string item_heading(std::string_view item, bool sent, std::string_view key,
                         bool items = false) {
  std::string heading(item);
  if (sent) return heading.append(":");
  return heading.append(items ? " (não enviados; " : " (não enviado; ")
      .append(key)
      .append(items ? "=1 os envia):" : "=1 o envia):");
}

// The records, then every table a run would send, each after a line that names
// its item and says whether the configuration sends it.
void print_listing(const std::vector<SourceRecord>& top20, const std::optional<TcpCounts>& tcp,
                   const Configuration& config, std::ostream& out) {
  println(out, "Modo DEBUG ativado:");
  println(out,
          std::string(GREEN) + "\nVersão do script: " + std::string(VERSION) + std::string(RESET));
  for (const SourceRecord& record : top20)
    println(out, debug_line(record));
  println(out, "");
  println(out, item_heading(kRankingKey, config.ranking, "EnableRanking"));
  println(out, ranking_table(top20));
  const QueryTables* tables = tcp && tcp->tables ? &*tcp->tables : nullptr;
  const auto table = [&](std::string_view item, bool sent, std::string_view key,
                         const std::string& text, bool items = false) {
    println(out, "");
    println(out, item_heading(item, sent, key, items));
    println(out, tables ? text : "(sem as contagens do leitor TCP)");
  };
  const QueryTables none;
  const QueryTables& t = tables ? *tables : none;
  table(kNamesKey, config.query_tables, "EnableQueryTables", names_table(t));
  table(kClientNamesKey, config.query_tables, "EnableQueryTables", client_names_table(top20, t));
  table(kTypesKey, config.query_tables, "EnableQueryTables", types_table(t));
  std::string codes;
  for (const ZabbixMetric& value : rcode_values("", t.rcodes, std::nullopt)) {
    if (!codes.empty()) codes += '\n';
    codes += value.key + "=" + value_text(value.value);
  }
  table(std::string(kAnswersKey) + ", quillet.rcode[*]", config.response_codes,
        "EnableResponseCodes", codes, true);
  table(kClientRcodesKey, config.response_codes, "EnableResponseCodes",
        client_rcodes_table(top20, t));
}

}  // namespace

std::vector<ZabbixMetric> run_values(const std::string& zabbix_host,
                                     const std::vector<SourceRecord>& ranking,
                                     const std::optional<ValueClock>& clock,
                                     const std::vector<SourceRecord>& buffered_clients) {
  std::vector<SourceRecord> listed = ranking;
  listed.insert(listed.end(), buffered_clients.begin(), buffered_clients.end());
  std::vector<ZabbixMetric> values{
      {zabbix_host, "descobertaDns", discovery_document(listed), clock}};
  for (const SourceRecord& record : ranking) {
    values.push_back({zabbix_host, "contDns[" + record.source + "]", record.contagem, clock});
    values.push_back({zabbix_host, "percentDns[" + record.source + "]", record.percentual, clock});
  }
  return values;
}

std::vector<ZabbixMetric> rcode_values(const std::string& zabbix_host, const Rcodes& rcodes,
                                       const std::optional<ValueClock>& clock) {
  std::vector<ZabbixMetric> values{
      {zabbix_host, std::string(kAnswersKey), answers_of(rcodes), clock}};
  const std::array<double, 5> shares = rcode_shares(rcodes);
  for (std::size_t i = 0; i < shares.size(); ++i)
    values.push_back({zabbix_host, rcode_key(kRcodeKinds[i]), shares[i], clock});
  return values;
}

std::vector<ZabbixMetric> table_values(const std::string& zabbix_host,
                                       const std::vector<SourceRecord>& ranking,
                                       const QueryTables* tables, const Configuration& config,
                                       const std::optional<ValueClock>& clock) {
  std::vector<ZabbixMetric> values;
  if (config.ranking)
    values.push_back({zabbix_host, std::string(kRankingKey), ranking_table(ranking), clock});
  if (!tables) return values;
  if (config.query_tables) {
    values.push_back({zabbix_host, std::string(kNamesKey), names_table(*tables), clock});
    values.push_back(
        {zabbix_host, std::string(kClientNamesKey), client_names_table(ranking, *tables), clock});
    values.push_back({zabbix_host, std::string(kTypesKey), types_table(*tables), clock});
  }
  if (config.response_codes) {
    for (ZabbixMetric& value : rcode_values(zabbix_host, tables->rcodes, clock))
      values.push_back(std::move(value));
    values.push_back(
        {zabbix_host, std::string(kClientRcodesKey), client_rcodes_table(ranking, *tables), clock});
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
  const auto started = ctx.wall_clock();
  const std::string& zabbix_host = ctx.settings.zabbix_host.value();
  const bool listing = zabbix_host == "debug";
  const Configuration config = read_configuration(ctx.configuration_file).value_or(Configuration{});
  const DeliverySetup setup =
      delivery_setup(config, listing ? std::nullopt : ctx.settings.zabbix_server, ctx.delivery);
  CaptureSetup capture = ctx.capture;
  if (config.interface.given()) capture.interface = config.interface.value;
  // The listing shows every table; a run tallies them only to send them.
  capture.tables = listing || config.query_tables || config.response_codes;

  // The buffer's place is checked before the capture too.
  std::optional<BufferRun> buffer;
  if (config.persistent_buffer && !listing)
    buffer.emplace(config, capture, ctx, zabbix_host, started);

  const std::optional<Collected> run = capture_and_rank(ctx, capture);
  if (!run) return 1;
  const std::vector<SourceRecord>& top20 = run->top20;
  const ValueClock window_end = value_clock(run->capture.window_end);
  if (listing) {
    print_listing(top20, run->tcp, config, ctx.out);
    return run->capture.tcp_failed ? 1 : 0;
  }

  ZabbixSender zbx = setup.sender();
  const std::vector<SourceRecord> buffered_clients =
      buffer ? buffer->clients(top20) : std::vector<SourceRecord>{};
  const std::vector<ZabbixMetric> values =
      run_values(zabbix_host, top20, window_end, buffered_clients);
  std::vector<SourceRecord> listed = top20;
  listed.insert(listed.end(), buffered_clients.begin(), buffered_clients.end());
  RunDelivery sent = deliver(zbx, values, setup.bounds, ctx, buffer ? &*buffer : nullptr, listed);
  // The host's own items in a request of their own, after the clients': a host
  // whose template predates them refuses them, and that costs no client value.
  std::vector<ZabbixMetric> host_values =
      uncounted_values(zabbix_host, run->capture, run->tcp, window_end);
  const QueryTables* tables = run->tcp && run->tcp->tables ? &*run->tcp->tables : nullptr;
  std::vector<ZabbixMetric> table = table_values(zabbix_host, top20, tables, config, window_end);
  host_values.insert(host_values.end(), std::make_move_iterator(table.begin()),
                     std::make_move_iterator(table.end()));
  // Not after a last value that no node took: the request would cost its
  // attempts again for nothing.
  bool host_refused = false;
  if (!host_values.empty()) {
    const DeliveryOutcome outcome =
        sent.last_unsent ? DeliveryOutcome::given_up
                         : send_zabbix(zbx, host_values, setup.bounds, ctx.out, ctx.pause);
    if (outcome == DeliveryOutcome::given_up) {
      sent.unsent.insert(sent.unsent.end(), host_values.begin(), host_values.end());
      ++sent.failed_requests;
    }
    host_refused = outcome == DeliveryOutcome::refused;
  }
  const std::size_t requests = values.size() + (host_values.empty() ? 0 : 1);

  // "success" with "failed: 1" stores nothing: a refused discovery means the
  // host is unknown, not linked or not allowed, and every run would fail alike.
  const bool discovery_refused = sent.discovery == DeliveryOutcome::refused;
  if (discovery_refused) {
    println(ctx.out, "[ERRO] O Zabbix recusou a descoberta (descobertaDns) do host \"" +
                         zabbix_host +
                         "\": confira o nome do host, o template e os hosts permitidos.");
    if (buffer) buffer->refused();
  } else if (sent.refused > 0) {
    println(ctx.out, "[AVISO] O Zabbix recusou " + std::to_string(sent.refused) + " de " +
                         std::to_string(sent.delivered) +
                         " valores: endereços novos só são aceitos depois que a descoberta "
                         "cria seus itens.");
  }
  // A host that took the discovery but not these has a template older than them.
  if (!discovery_refused && host_refused) {
    println(ctx.out, "[AVISO] O Zabbix recusou os valores do próprio host (quillet.*) de \"" +
                         zabbix_host +
                         "\": importe nele o template atual, de /usr/share/quillet/.");
  }
  if (!sent.unsent.empty()) {
    const std::string failed = "[ERRO] " + std::to_string(sent.failed_requests) + " de " +
                               std::to_string(requests) + " envios ao Zabbix falharam";
    if (buffer) {
      buffer->keep(sent.unsent, failed, sent.discovery == DeliveryOutcome::delivered);
    } else {
      println(ctx.out, failed + ".");
    }
    return 1;
  }
  if (buffer && sent.discovery == DeliveryOutcome::delivered) buffer->drain(zbx);
  if (buffer) buffer->report();
  if (discovery_refused || run->capture.tcp_failed || (buffer && buffer->failed())) return 1;
  println(ctx.out, "OK!");
  return 0;
}

}  // namespace quillet
