// The collection run: capture, parse and rank, then the debug listing or the
// deliveries of the discovery document and the values per address.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "config.h"
#include "context.h"
#include "delivery.h"
#include "report.h"
#include "transports.h"
#include "zabbix_sender.h"

namespace quillet {

// What a run sends for `ranking`, in order: "descobertaDns" with the discovery
// document, then per record "contDns[<address>]" with its count and
// "percentDns[<address>]" with its percentage, all for `zabbix_host` and all
// with `clock` (none: Zabbix stamps them on arrival). The discovery document
// lists `buffered_clients` after the ranking; they get no values here.
std::vector<ZabbixMetric> run_values(const std::string& zabbix_host,
                                     const std::vector<SourceRecord>& ranking,
                                     const std::optional<ValueClock>& clock = std::nullopt,
                                     const std::vector<SourceRecord>& buffered_clients = {});

// The tables a run sends after `run_values`, for `zabbix_host` with `clock`:
// with EnableRanking=1, "quillet.ranking" with the ranked table of `ranking`;
// from `tables` (none: the reader did not tally them), with
// EnableQueryTables=1 "quillet.names", "quillet.client_names" and
// "quillet.qtypes", with EnableResponseCodes=1 `rcode_values` and
// "quillet.client_rcodes".
std::vector<ZabbixMetric> table_values(const std::string& zabbix_host,
                                       const std::vector<SourceRecord>& ranking,
                                       const QueryTables* tables, const Configuration& config,
                                       const std::optional<ValueClock>& clock);

// "quillet.answers" with the answers the server sent, then
// "quillet.rcode[<kind>]" with each kind's share in percent.
std::vector<ZabbixMetric> rcode_values(const std::string& zabbix_host, const Rcodes& rcodes,
                                       const std::optional<ValueClock>& clock);

// How a run's values travel: to the nodes of `zabbix_server` (none when it has
// no value: the debug listing sends nothing), with ServerPort for a node that
// names no port, the TLS client (none when unencrypted) and the source
// address that `config` decides, within `bounds`. Raises Failure for a node
// that cannot be used and ConfigError when the keys or certificates named do
// not load.
DeliverySetup delivery_setup(const Configuration& config,
                             const std::optional<std::string>& zabbix_server,
                             const DeliveryBounds& bounds = {});

// The collection mode. Its argument has no effect: the capture decides the
// report. Returns the run's exit status: 0 after the listing or when every
// value was delivered; 1 when another run holds the working directory, the
// capture failed, a delivery was given up or Zabbix refused the discovery.
int coletarDns(const std::string& caminho_arquivo, Context& ctx);

}  // namespace quillet
