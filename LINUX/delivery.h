// Delivery of one item value to Zabbix, with a fixed retry.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "link.h"
#include "nodes.h"
#include "os.h"
#include "zabbix_sender.h"

namespace quillet {

class TlsClient;

// The retry and the time bounds of every delivery: fixed in the shipped
// binary; tests shorten them.
struct DeliveryBounds {
  int attempts = 5;
  std::chrono::milliseconds pause{5000};
  std::chrono::milliseconds connect_timeout{10000};
  std::chrono::milliseconds reply_timeout{10000};
  // How long a run waits for the persistent buffer's lock.
  std::chrono::milliseconds buffer_lock_wait{30000};
};

// How the values of a run travel, as the command line and the configuration
// file decide (collect.h): the nodes, the encryption, the source address, and
// the bounds.
struct DeliverySetup {
  std::vector<ServerNode> nodes;         // none for the debug listing, which sends nothing
  std::shared_ptr<const TlsClient> tls;  // none: unencrypted
  std::optional<SourceAddress> source;   // none: the kernel's choice
  DeliveryBounds bounds;

  // The client of the run's deliveries: one for the whole run, so that each
  // delivery starts where the last one got through.
  ZabbixSender sender() const;
};

// delivered: the server took the value. refused: it answered, but its info
// says "failed: N" with N >= 1 (unknown host, item not discovered yet, ...);
// the value is delivered all the same and never retried. given_up: every
// attempt failed.
enum class DeliveryOutcome { delivered, refused, given_up };

// One try at delivering; returns the server's answer, raises ExchangeError
// when the try fails.
using DeliveryAttempt = std::function<SendResult()>;

// True when the answer says the server refused what it was sent. An answer
// without a readable "failed" figure counts as accepted.
bool refused_by_server(const SendResult& result);

// Prints the red line of a failed attempt: RED + "Erro ao enviar para o
// Zabbix: " + the description + RESET.
void print_delivery_error(std::ostream& out, const ExchangeError& e);

// Makes at most `bounds.attempts` attempts. After each failed one prints RED +
// "Erro ao enviar para o Zabbix: " + the description + RESET and pauses
// `bounds.pause`, the last one included. Other failures pass through.
DeliveryOutcome retry_delivery(const DeliveryAttempt& attempt, const DeliveryBounds& bounds,
                               std::ostream& out, const Pause& pause);

// Sends one value through `zbx`, the run's client. After each
// failed attempt prints the red error line and pauses; gives up after
// `bounds.attempts` attempts. The console shows no difference between the
// two outcomes; the result tells the caller. A text that cannot make a request
// raises Failure before any attempt.
DeliveryOutcome send_zabbix(ZabbixSender& zbx, const ZabbixMetric& value,
                            const DeliveryBounds& bounds, std::ostream& out, const Pause& pause);
// The same for several values in one request.
DeliveryOutcome send_zabbix(ZabbixSender& zbx, const std::vector<ZabbixMetric>& values,
                            const DeliveryBounds& bounds, std::ostream& out, const Pause& pause);

}  // namespace quillet
