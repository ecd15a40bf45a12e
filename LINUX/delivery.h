// Delivery of one item value to Zabbix, with a fixed retry.
#pragma once

#include <functional>
#include <ostream>
#include <string>

#include "os.h"
#include "quillet.h"
#include "zabbix_sender.h"

namespace quillet {

// delivered: the server took the value. refused: it answered, but its info
// says "failed: N" with N >= 1 (unknown host, item not discovered yet, ...);
// the value is delivered all the same and never retried. given_up: every
// attempt failed.
enum class DeliveryOutcome { delivered, refused, given_up };

// One try at delivering; returns the server's answer, raises SenderError when
// the try fails.
using DeliveryAttempt = std::function<SendResult()>;

// True when the answer says the server refused what it was sent. An answer
// without a readable "failed" figure counts as accepted.
bool refused_by_server(const SendResult& result);

// Makes at most `setup.attempts` attempts. After each failed one prints RED +
// "Erro ao enviar para o Zabbix: " + the description + RESET and pauses
// `setup.pause`, the last one included. Other failures pass through.
DeliveryOutcome retry_delivery(const DeliveryAttempt& attempt, const DeliverySetup& setup,
                               std::ostream& out, const Pause& pause);

// Sends one value of `zabbix_host` to `zabbix_server` on `setup.port`. After each
// failed attempt prints the red error line and pauses; gives up after
// `setup.attempts` attempts. The console shows no difference between the two
// outcomes; the result tells the caller. A port, time bound or text that
// cannot make a request raises Failure before any attempt.
DeliveryOutcome send_zabbix(const std::string& zabbix_server, const std::string& zabbix_host,
                            const std::string& key, const MetricValue& value,
                            const DeliverySetup& setup, std::ostream& out, const Pause& pause);

}  // namespace quillet
