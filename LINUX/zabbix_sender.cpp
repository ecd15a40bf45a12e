#include "zabbix_sender.h"

namespace quillet {

ZabbixSender::ZabbixSender(std::string server, int port, std::chrono::milliseconds connect_timeout,
                           std::chrono::milliseconds reply_timeout)
    : server_(std::move(server)),
      port_(port),
      connect_timeout_(connect_timeout),
      reply_timeout_(reply_timeout) {}

SendResult ZabbixSender::send(const std::vector<ZabbixMetric>&) const {
  throw SenderError("not built yet");
}

}  // namespace quillet
