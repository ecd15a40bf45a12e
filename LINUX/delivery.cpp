#include "delivery.h"

#include <vector>

#include "quillet.h"

namespace quillet {

bool refused_by_server(const SendResult& result) {
  return result.failed.value_or(0) >= 1;
}

void print_delivery_error(std::ostream& out, const ExchangeError& e) {
  std::string line(RED);
  line += "Erro ao enviar para o Zabbix: ";
  line += e.what();
  line += RESET;
  println(out, line);
}

DeliveryOutcome retry_delivery(const DeliveryAttempt& attempt, const DeliveryBounds& bounds,
                               std::ostream& out, const Pause& pause) {
  for (int i = 0; i < bounds.attempts; ++i) {
    try {
      return refused_by_server(attempt()) ? DeliveryOutcome::refused : DeliveryOutcome::delivered;
    } catch (const ExchangeError& e) {
      print_delivery_error(out, e);
    }
    pause(bounds.pause);
  }
  return DeliveryOutcome::given_up;
}

ZabbixSender DeliverySetup::sender() const {
  return ZabbixSender(nodes, bounds.connect_timeout, bounds.reply_timeout, tls.get(), source);
}

DeliveryOutcome send_zabbix(ZabbixSender& zbx, const ZabbixMetric& value,
                            const DeliveryBounds& bounds, std::ostream& out, const Pause& pause) {
  return send_zabbix(zbx, std::vector<ZabbixMetric>{value}, bounds, out, pause);
}

DeliveryOutcome send_zabbix(ZabbixSender& zbx, const std::vector<ZabbixMetric>& values,
                            const DeliveryBounds& bounds, std::ostream& out, const Pause& pause) {
  // The request is built once, before the attempts: a value that cannot be
  // encoded would fail every attempt the same way, so it ends the run
  // (Failure) instead of being retried. Every attempt sends the same bytes,
  // the clock included.
  const std::string request = encode_request(values);
  return retry_delivery([&] { return zbx.exchange(request); }, bounds, out, pause);
}

}  // namespace quillet
