// A client of the Zabbix sender (trapper) protocol.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace quillet {

// An item value: text, a whole number or a floating-point number.
using MetricValue = std::variant<std::string, std::int64_t, double>;

// One value of one item of one monitored host.
struct ZabbixMetric {
  std::string host;
  std::string key;
  MetricValue value;
};

// What the server answered to a delivery. `info` is parsed leniently; missing
// figures stay empty.
struct SendResult {
  std::string response;
  std::string info;
  std::optional<std::int64_t> processed;
  std::optional<std::int64_t> failed;
  std::optional<std::int64_t> total;
  std::optional<double> seconds_spent;
};

// A delivery that did not get through; what() describes why.
class SenderError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ZabbixSender {
 public:
  ZabbixSender(std::string server, int port,
               std::chrono::milliseconds connect_timeout = std::chrono::seconds(10),
               std::chrono::milliseconds reply_timeout = std::chrono::seconds(10));

  // Delivers `metrics` in one exchange. Raises SenderError when the server cannot
  // be reached, the exchange breaks off or the server does not answer "success".
  SendResult send(const std::vector<ZabbixMetric>& metrics) const;

 private:
  std::string server_;
  int port_;
  std::chrono::milliseconds connect_timeout_;
  std::chrono::milliseconds reply_timeout_;
};

}  // namespace quillet
