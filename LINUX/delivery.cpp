#include "delivery.h"

namespace quillet {

DeliveryOutcome send_zabbix(const std::string&, const std::string&, const std::string&,
                            const MetricValue&, const DeliverySetup&, std::ostream&,
                            const Pause&) {
  throw Failure("não implementado", "envio ao Zabbix", "o envio ainda não foi construído");
}

}  // namespace quillet
