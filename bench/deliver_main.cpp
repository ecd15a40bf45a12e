// quillet_deliver REPORT SERVER HOST [PORT | --config FILE]
// quillet_deliver --list REPORT HOST
//
// The deliveries of a collection run on their own: ranks REPORT's sources and
// sends what the run sends (the discovery document, then count and percentage
// per address: 41 values for twenty addresses), one send_zabbix call each, to
// SERVER on PORT (10052 unless given), or with the port and encryption of a
// configuration file, as a run would. With --list, prints the same values as
// "host<TAB>key<TAB>value" lines instead, for zabbix_sender.
#include <signal.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "config.h"
#include "delivery.h"
#include "os.h"
#include "quillet.h"
#include "report.h"
#include "tls.h"
#include "zabbix_sender.h"

namespace {

struct Value {
  std::string key;
  quillet::MetricValue value;
};

std::vector<Value> run_values(const std::string& report) {
  quillet::TopSelection top(quillet::TOP_LIMIT);
  quillet::parse_report_file(report, [&](const quillet::RecordView& r) { top.add(r); });
  std::vector<Value> values{{"descobertaDns", quillet::discovery_document(top.ranked())}};
  for (const quillet::SourceRecord& r : top.ranked()) {
    values.push_back({"contDns[" + r.source + "]", r.contagem});
    values.push_back({"percentDns[" + r.source + "]", r.percentual});
  }
  return values;
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
      for (const Value& v : run_values(args[1]))
        std::cout << args[2] << '\t' << v.key << '\t' << quillet::value_text(v.value) << '\n';
      return std::cout.flush() ? 0 : 1;
    }
    if (args.size() != 3 && args.size() != 4 && args.size() != 5) return usage();
    quillet::DeliverySetup setup;
    if (args.size() == 4) setup.port = std::stoi(args[3]);
    if (args.size() == 5) {
      if (args[3] != "--config") return usage();
      const auto config = quillet::read_configuration(args[4]);
      if (!config) throw std::runtime_error("no configuration file " + args[4]);
      setup.port = config->server_port;
      if (config->tls_connect != quillet::TlsConnect::unencrypted) {
        setup.tls = std::make_shared<const quillet::TlsClient>(*config);
      }
    }
    const std::vector<Value> values = run_values(args[0]);
    const auto given_up = std::count_if(values.begin(), values.end(), [&](const Value& v) {
      return quillet::send_zabbix(args[1], args[2], v.key, v.value, setup, std::cout,
                                  quillet::sleep_pause) == quillet::DeliveryOutcome::given_up;
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
