// quillet_deliver REPORT SERVER HOST [PORT | --config FILE]
// quillet_deliver --list REPORT HOST
//
// The deliveries of a collection run on their own: ranks REPORT's sources and
// sends what the run sends (the discovery document, then count and percentage
// per address: 41 values for twenty addresses), one send_zabbix call each, to
// SERVER (a name, an address or cluster nodes, as a run's third argument) on
// PORT (10052 unless given), or with the port, encryption and source address
// of a configuration file, following redirects, as a run would. With --list, prints the same values
// as "host<TAB>key<TAB>value" lines instead, for zabbix_sender.
#include <signal.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "collect.h"
#include "config.h"
#include "delivery.h"
#include "failure.h"
#include "os.h"
#include "report.h"
#include "zabbix_sender.h"

namespace {

// What a run sends for the ranking of `report`.
std::vector<quillet::ZabbixMetric> values_of(const std::string& report, const std::string& host) {
  quillet::TopSelection top(quillet::kTopLimit);
  quillet::analisarRelatorio(report, [&](const quillet::RecordView& r) { top.add(r); });
  return quillet::run_values(host, top.ranked());
}

int usage() {
  std::cerr << "usage: quillet_deliver REPORT SERVER HOST [PORT | --config FILE]\n"
               "       quillet_deliver --list REPORT HOST\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string> args(argv + 1, argv + argc);
  try {
    if (!args.empty() && args[0] == "--list") {
      if (args.size() != 3) return usage();
      for (const quillet::ZabbixMetric& v : values_of(args[1], args[2]))
        std::cout << v.host << '\t' << v.key << '\t' << quillet::value_text(v.value) << '\n';
      return std::cout.flush() ? 0 : 1;
    }
    if (args.size() != 3 && args.size() != 4 && args.size() != 5) return usage();
    quillet::Configuration config;
    if (args.size() == 4) config.server_port = std::stoi(args[3]);
    if (args.size() == 5) {
      if (args[3] != "--config") return usage();
      auto read = quillet::read_configuration(args[4]);
      if (!read) throw std::runtime_error("no configuration file " + args[4]);
      config = std::move(*read);
    }
    const quillet::DeliverySetup setup = quillet::delivery_setup(config, args[1]);
    quillet::ZabbixSender zbx = setup.sender();
    const std::vector<quillet::ZabbixMetric> values = values_of(args[0], args[2]);
    const auto given_up =
        std::count_if(values.begin(), values.end(), [&](const quillet::ZabbixMetric& v) {
          return quillet::send_zabbix(zbx, v, setup.bounds, std::cout, quillet::sleep_pause) ==
                 quillet::DeliveryOutcome::given_up;
        });
    return given_up == 0 ? 0 : 1;
  } catch (const quillet::Failure& e) {
    std::cerr << "quillet_deliver: " << e.what() << '\n';
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "quillet_deliver: " << e.what() << '\n';
    return 2;
  }
}
