// A client of the Zabbix sender (trapper) protocol, as Zabbix 4.0 to 7.0 servers
// and proxies accept it: one request per connection, a 13-byte "ZBXD" header
// with protocol flag 0x01 and a little-endian length, then a compact JSON body.
// It sends to the nodes of an HA cluster and follows a proxy group's redirects.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "link.h"
#include "nodes.h"

namespace quillet {

// An item value: text, a whole number or a floating-point number.
using MetricValue = std::variant<std::string, std::int64_t, double>;

// The moment a value describes: Unix seconds and nanoseconds (0..999999999).
struct ValueClock {
  std::int64_t clock = 0;
  std::int32_t ns = 0;
  bool operator==(const ValueClock&) const = default;
};

ValueClock value_clock(std::chrono::system_clock::time_point moment);

// One value of one item of one monitored host. Without a clock Zabbix stamps
// the value when it arrives.
struct ZabbixMetric {
  std::string host;
  std::string key;
  MetricValue value;
  std::optional<ValueClock> clock{};
};

// A proxy group's answer for a host that another proxy monitors: send to
// `address` ("host[:port]") instead, or (reset) forget the address a redirect
// gave and go back to the configured nodes. Revisions grow as the group
// reassigns its hosts.
struct Redirect {
  bool reset = false;
  std::uint64_t revision = 0;
  std::string address;
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
  std::optional<Redirect> redirect;  // with response "failed" only
};

// Frame layout: "ZBXD", flag byte, body length (4 bytes, little-endian), 4
// reserved bytes.
inline constexpr std::size_t kFrameHeaderSize = 13;
inline constexpr unsigned char kProtocolFlag = 0x01;
// Replies announcing a longer body are refused.
inline constexpr std::size_t kMaxReplyLength = std::size_t{1} << 20;

// The text in which a value travels: text as is, a whole number in decimal
// digits, a double in its shortest round-trip form (61.3, 100.0, 1e-05).
std::string value_text(const MetricValue& value);

// The complete request frame for `metrics`:
// {"request":"sender data","data":[{"host":H,"key":K,"value":V,"clock":C,"ns":N},...]}
// behind the header; "clock" and "ns" only for a value that has a clock. Raises Failure when a
// host, key or text value is not valid UTF-8.
std::string encode_request(const std::vector<ZabbixMetric>& metrics);

// Checks the first kFrameHeaderSize bytes of a reply and returns the body length
// it announces. Raises ExchangeError for a short header, a wrong magic, a flag
// byte other than 0x01 or a length above kMaxReplyLength.
std::size_t decode_reply_header(std::string_view header);

// Decodes a complete reply frame. Raises ExchangeError when the frame is malformed
// or the server did not answer "success", unless it answered "failed" with a
// well-formed "redirect", which the result then holds.
SendResult decode_reply(std::string_view frame);

// Reads "processed: 1; failed: 0; total: 1; seconds spent: 0.000037" into
// `result`; parts it cannot read are left empty.
void parse_reply_info(std::string_view info, SendResult& result);

// The port of a redirect's address that names none: the trapper's own.
inline constexpr int kRedirectPort = 10051;

class TlsClient;

// The client of one run's deliveries. Each exchange starts where the run's
// last one got through: at the address of a redirect it followed, otherwise at
// the node that took its last connection.
class ZabbixSender {
 public:
  // Raises Failure for no node, a node's port outside 1..65535 or a negative
  // time bound. With `tls`, which must outlive the sender, every connection is
  // encrypted; with `source`, every connection is made from that address.
  explicit ZabbixSender(std::vector<ServerNode> nodes,
                        std::chrono::milliseconds connect_timeout = std::chrono::seconds(10),
                        std::chrono::milliseconds reply_timeout = std::chrono::seconds(10),
                        const TlsClient* tls = nullptr,
                        std::optional<SourceAddress> source = std::nullopt);

  // Delivers `metrics` in one exchange: encode_request, then exchange.
  SendResult send(const std::vector<ZabbixMetric>& metrics);

  // One exchange of an encoded request. Tries the kept redirect address, then
  // the nodes in turn from the one that took the last connection: resolves
  // each, connects to its addresses in turn (at most connect_timeout each, the
  // TLS handshake included), sends the request (at most reply_timeout) and
  // reads the reply within reply_timeout of the end of sending. A redirect
  // is followed at once with the same request, one per exchange, unless its
  // revision is below one already followed; a reset forgets the kept address
  // and goes on with the nodes, as does a kept address that takes no
  // connection. Raises ExchangeError when no node takes a connection (naming
  // each address tried with its cause) or, naming the address, when the
  // exchange on a connection breaks off, the reply is malformed or is not
  // "success" (a second redirect included): once a request has gone out,
  // another try could file the value twice.
  SendResult exchange(std::string_view request);

 private:
  struct Connection;
  // A connection to the first of `node`'s addresses that takes one, TLS
  // included. Raises ExchangeError naming every address tried with its cause.
  Connection connect(const ServerNode& node) const;
  // The request and its reply over `connection`. Raises ExchangeError naming
  // the address.
  SendResult exchange_on(Connection& connection, std::string_view request) const;

  std::vector<ServerNode> nodes_;
  std::chrono::milliseconds connect_timeout_;
  std::chrono::milliseconds reply_timeout_;
  const TlsClient* tls_;
  std::optional<SourceAddress> source_;
  // What the exchanges of the run learn, for the next ones.
  std::size_t answered_ = 0;               // the node that took the last connection
  std::optional<ServerNode> redirect_;     // where a redirect sends the values
  std::optional<std::uint64_t> revision_;  // of the last redirect followed
};

}  // namespace quillet
