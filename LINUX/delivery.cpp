#include "delivery.h"

#include <optional>
#include <stdexcept>
#include <vector>

namespace quillet {

bool refused_by_server(const SendResult& result) {
  return result.failed.value_or(0) >= 1;
}

DeliveryOutcome retry_delivery(const DeliveryAttempt& attempt, const DeliverySetup& setup,
                               std::ostream& out, const Pause& pause) {
  for (int i = 0; i < setup.attempts; ++i) {
    try {
      return refused_by_server(attempt()) ? DeliveryOutcome::refused : DeliveryOutcome::delivered;
    } catch (const SenderError& e) {
      std::string line(RED);
      line += "Erro ao enviar para o Zabbix: ";
      line += e.what();
      line += RESET;
      println(out, line);
    }
    pause(setup.pause);
  }
  return DeliveryOutcome::given_up;
}

DeliveryOutcome send_zabbix(const std::string& zabbix_server, const std::string& zabbix_host,
                            const std::string& key, const MetricValue& value,
                            const DeliverySetup& setup, std::ostream& out, const Pause& pause) {
  // The record, the client and the request are built once, before the attempts:
  // a value that cannot be encoded would fail every attempt the same way, so it
  // ends the run instead of being retried.
  std::vector<ZabbixMetric> metrics{ZabbixMetric{zabbix_host, key, value}};
  std::string request;
  std::optional<ZabbixSender> zbx;
  try {
    zbx.emplace(zabbix_server, setup.port, setup.connect_timeout, setup.reply_timeout,
                setup.tls.get());
    request = encode_request(metrics);
  } catch (const std::invalid_argument& e) {
    throw Failure("dados inválidos", "envio ao Zabbix", e.what());
  }
  return retry_delivery([&] { return zbx->exchange(request); }, setup, out, pause);
}

}  // namespace quillet
