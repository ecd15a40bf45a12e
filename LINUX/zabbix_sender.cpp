#include "zabbix_sender.h"

#include <netdb.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <deque>
#include <nlohmann/json.hpp>

#include "failure.h"
#include "format.h"
#include "tls.h"
#include "utf8.h"

namespace quillet {

namespace {

using nlohmann::ordered_json;

constexpr std::string_view kMagic = "ZBXD";
constexpr std::string_view kStep = "envio ao Zabbix";

void check_utf8(const std::string& text, const char* what) {
  if (!valid_utf8(text)) {
    throw Failure("dados inválidos", std::string(kStep),
                  std::string(what) + " não é texto UTF-8 válido");
  }
}

struct AddrInfoList {
  addrinfo* head = nullptr;
  AddrInfoList() = default;
  AddrInfoList(const AddrInfoList&) = delete;
  AddrInfoList& operator=(const AddrInfoList&) = delete;
  ~AddrInfoList() {
    if (head) ::freeaddrinfo(head);
  }
};

// Reads one reply frame: the header, then exactly the body length it announces.
// Reads before it waits: a TLS session may hold bytes the socket no longer has.
std::string read_reply(Link& link, std::chrono::milliseconds bound) {
  auto deadline = Clock::now() + bound;
  std::string frame;
  std::size_t want = kFrameHeaderSize;
  bool have_header = false;
  char buf[4096];
  while (frame.size() < want) {
    std::size_t got = 0;
    const IoWait wait = link.read(buf, std::min(sizeof buf, want - frame.size()), got);
    if (wait != IoWait::none) {
      if (wait_ready(link.fd(), wait, deadline)) continue;
      if (frame.empty()) throw ExchangeError("sem resposta em " + describe_bound(bound));
      throw ExchangeError("resposta incompleta em " + describe_bound(bound) + " (" +
                          std::to_string(frame.size()) + " de " + std::to_string(want) + " bytes)");
    }
    if (got == 0) {
      if (frame.empty()) throw ExchangeError("conexão encerrada sem resposta");
      throw ExchangeError("conexão encerrada no meio da resposta (" + std::to_string(frame.size()) +
                          " de " + std::to_string(want) + " bytes)");
    }
    frame.append(buf, got);
    if (!have_header && frame.size() == kFrameHeaderSize) {
      want = kFrameHeaderSize + decode_reply_header(frame);
      have_header = true;
    }
  }
  return frame;
}

std::optional<std::int64_t> read_int(std::string_view text) {
  std::int64_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return v;
}

std::optional<double> read_double(std::string_view text) {
  double v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return v;
}

// Blanks, tabs and line ends around a name or a figure of the info text.
constexpr std::string_view kInfoBlanks = " \t\r\n";

// {"reset":true}, or {"revision":N,"address":"host[:port]"}.
Redirect redirect_of(const nlohmann::json& redirect) {
  if (redirect.is_object()) {
    if (auto reset = redirect.find("reset");
        reset != redirect.end() && reset->is_boolean() && reset->get<bool>()) {
      return Redirect{.reset = true, .revision = 0, .address = {}};
    }
    auto revision = redirect.find("revision");
    auto address = redirect.find("address");
    if (revision != redirect.end() && revision->is_number_unsigned() && address != redirect.end() &&
        address->is_string()) {
      return Redirect{.reset = false,
                      .revision = revision->get<std::uint64_t>(),
                      .address = address->get<std::string>()};
    }
  }
  throw ExchangeError("resposta inválida: redirecionamento sem \"revision\" e \"address\"");
}

void append_failure(std::string& failures, const std::string& failure) {
  if (!failures.empty()) failures += "; ";
  failures += failure;
}

}  // namespace

std::string value_text(const MetricValue& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  if (const auto* whole = std::get_if<std::int64_t>(&value)) return std::to_string(*whole);
  return format_double(std::get<double>(value));
}

ValueClock value_clock(std::chrono::system_clock::time_point moment) {
  const auto since_epoch =
      std::chrono::duration_cast<std::chrono::nanoseconds>(moment.time_since_epoch());
  const auto seconds = std::chrono::floor<std::chrono::seconds>(since_epoch);
  return ValueClock{.clock = seconds.count(),
                    .ns = static_cast<std::int32_t>((since_epoch - seconds).count())};
}

std::string encode_request(const std::vector<ZabbixMetric>& metrics) {
  ordered_json data = ordered_json::array();
  for (const auto& m : metrics) {
    check_utf8(m.host, "o nome do host");
    check_utf8(m.key, "a chave do item");
    std::string value = value_text(m.value);
    check_utf8(value, "o valor");
    ordered_json item{{"host", m.host}, {"key", m.key}, {"value", std::move(value)}};
    if (m.clock) {
      item["clock"] = m.clock->clock;
      item["ns"] = m.clock->ns;
    }
    data.push_back(std::move(item));
  }
  ordered_json request;
  request["request"] = "sender data";
  request["data"] = std::move(data);
  std::string body = request.dump();

  std::string frame(kMagic);
  frame += static_cast<char>(kProtocolFlag);
  auto length = static_cast<std::uint64_t>(body.size());
  for (int i = 0; i < 4; ++i)
    frame += static_cast<char>((length >> (8 * i)) & 0xFF);
  frame.append(4, '\0');
  frame += body;
  return frame;
}

std::size_t decode_reply_header(std::string_view header) {
  if (header.size() < kFrameHeaderSize) {
    throw ExchangeError("resposta inválida: cabeçalho incompleto (" +
                        std::to_string(header.size()) + " bytes)");
  }
  if (header.substr(0, 4) != kMagic)
    throw ExchangeError("resposta inválida: cabeçalho sem \"ZBXD\"");
  auto flag = static_cast<unsigned char>(header[4]);
  if (flag != kProtocolFlag) {
    std::string shown = {'0', 'x', kHexDigits[flag >> 4], kHexDigits[flag & 0xF]};
    throw ExchangeError("resposta inválida: indicador de protocolo " + shown + " não suportado");
  }
  std::uint64_t length = 0;
  for (int i = 0; i < 4; ++i) {
    length |= std::uint64_t{static_cast<unsigned char>(header[5 + i])} << (8 * i);
  }
  if (length > kMaxReplyLength) {
    throw ExchangeError("resposta inválida: tamanho anunciado de " + std::to_string(length) +
                        " bytes, acima do limite de " + std::to_string(kMaxReplyLength));
  }
  return static_cast<std::size_t>(length);
}

SendResult decode_reply(std::string_view frame) {
  std::size_t length = decode_reply_header(frame);
  if (frame.size() != kFrameHeaderSize + length) {
    throw ExchangeError("resposta inválida: " + std::to_string(frame.size() - kFrameHeaderSize) +
                        " bytes de corpo, anunciados " + std::to_string(length));
  }
  auto body = nlohmann::json::parse(frame.substr(kFrameHeaderSize), nullptr, false);
  if (body.is_discarded()) throw ExchangeError("resposta inválida: corpo não é JSON válido");
  if (!body.is_object() || !body.contains("response")) {
    throw ExchangeError("resposta inválida: sem o campo \"response\"");
  }
  SendResult result;
  const auto& response = body["response"];
  // dump() recurses: a reply of nested arrays within the length bound would
  // exhaust the stack, so structures are only named by their brackets.
  if (response.is_string()) {
    result.response = response.get<std::string>();
  } else if (response.is_structured()) {
    result.response = response.is_array() ? "[...]" : "{...}";
  } else {
    result.response = response.dump();
  }
  if (auto info = body.find("info"); info != body.end() && info->is_string()) {
    result.info = info->get<std::string>();
  }
  if (result.response == "failed") {
    if (auto redirect = body.find("redirect"); redirect != body.end()) {
      result.redirect = redirect_of(*redirect);
      return result;
    }
  }
  if (result.response != "success") {
    std::string what = "servidor respondeu \"" + console_safe(result.response) + "\"";
    if (!result.info.empty()) what += " (info: \"" + console_safe(result.info) + "\")";
    throw ExchangeError(what);
  }
  parse_reply_info(result.info, result);
  return result;
}

void parse_reply_info(std::string_view info, SendResult& result) {
  while (!info.empty()) {
    std::size_t semi = info.find(';');
    std::string_view part = info.substr(0, semi);
    info = semi == std::string_view::npos ? std::string_view() : info.substr(semi + 1);
    std::size_t colon = part.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view name = trim(part.substr(0, colon), kInfoBlanks);
    std::string_view figure = trim(part.substr(colon + 1), kInfoBlanks);
    if (name == "processed") {
      result.processed = read_int(figure);
    } else if (name == "failed") {
      result.failed = read_int(figure);
    } else if (name == "total") {
      result.total = read_int(figure);
    } else if (name == "seconds spent") {
      result.seconds_spent = read_double(figure);
    }
  }
}

struct ZabbixSender::Connection {
  std::string where;  // its numeric address
  Fd fd;
  std::optional<TlsSession> session;  // closed before the socket
};

ZabbixSender::ZabbixSender(std::vector<ServerNode> nodes, std::chrono::milliseconds connect_timeout,
                           std::chrono::milliseconds reply_timeout, const TlsClient* tls,
                           std::optional<SourceAddress> source)
    : nodes_(std::move(nodes)),
      connect_timeout_(connect_timeout),
      reply_timeout_(reply_timeout),
      tls_(tls),
      source_(std::move(source)) {
  if (nodes_.empty()) {
    throw Failure("dados inválidos", std::string(kStep), "nenhum servidor Zabbix para o envio");
  }
  const auto bad_port = std::find_if(nodes_.begin(), nodes_.end(), [](const ServerNode& node) {
    return node.port < 1 || node.port > 65535;
  });
  if (bad_port != nodes_.end()) {
    throw Failure("dados inválidos", std::string(kStep),
                  "porta do Zabbix fora do intervalo 1-65535: " + std::to_string(bad_port->port));
  }
  if (connect_timeout_.count() < 0 || reply_timeout_.count() < 0) {
    throw Failure("dados inválidos", std::string(kStep),
                  "limite de tempo negativo para o envio ao Zabbix");
  }
}

SendResult ZabbixSender::send(const std::vector<ZabbixMetric>& metrics) {
  return exchange(encode_request(metrics));
}

ZabbixSender::Connection ZabbixSender::connect(const ServerNode& node) const {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  AddrInfoList addresses;
  std::string service = std::to_string(node.port);
  int rc = ::getaddrinfo(node.host.c_str(), service.c_str(), &hints, &addresses.head);
  if (rc != 0) {
    const char* cause = rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc);
    throw ExchangeError(console_safe(node.host) + ": resolução do nome falhou: " + cause);
  }
  std::string failures;
  for (const addrinfo* ai = addresses.head; ai; ai = ai->ai_next) {
    Connection connection{numeric_address(ai->ai_addr, ai->ai_addrlen), Fd(), std::nullopt};
    const auto deadline = Clock::now() + connect_timeout_;
    try {
      connection.fd = connect_to(ai->ai_addr, ai->ai_addrlen, deadline, connect_timeout_,
                                 source_ ? &*source_ : nullptr);
      if (tls_)
        connection.session.emplace(tls_->open(connection.fd.get(), deadline, connect_timeout_));
      return connection;
    } catch (const ExchangeError& e) {
      append_failure(failures, connection.where + ": " + e.what());
    }
  }
  throw ExchangeError(failures);
}

SendResult ZabbixSender::exchange_on(Connection& connection, std::string_view request) const {
  try {
    PlainLink plain(connection.fd.get());
    Link* link = &plain;
    if (connection.session) link = &*connection.session;
    send_all(*link, request, reply_timeout_);
    return decode_reply(read_reply(*link, reply_timeout_));
  } catch (const ExchangeError& e) {
    throw ExchangeError(connection.where + ": " + e.what());
  }
}

SendResult ZabbixSender::exchange(std::string_view request) {
  // Where this exchange may go, in order; `node` is the configured node's
  // index, none for a redirect's address.
  struct Destination {
    ServerNode to;
    std::optional<std::size_t> node;
  };
  std::deque<Destination> destinations;
  if (redirect_) destinations.push_back({*redirect_, std::nullopt});
  for (std::size_t i = 0; i < nodes_.size(); ++i) {
    const std::size_t node = (answered_ + i) % nodes_.size();
    destinations.push_back({nodes_[node], node});
  }

  std::string failures;  // what each destination that filed nothing did
  bool redirected = false;
  while (!destinations.empty()) {
    const Destination destination = std::move(destinations.front());
    destinations.pop_front();
    std::optional<Connection> connection;
    try {
      connection.emplace(connect(destination.to));
    } catch (const ExchangeError& e) {
      append_failure(failures, e.what());
      // An address that takes no connection is not kept: the nodes are the way back.
      if (!destination.node) redirect_.reset();
      continue;
    }
    if (destination.node) answered_ = *destination.node;

    SendResult result = exchange_on(*connection, request);
    if (!result.redirect) return result;
    const Redirect& redirect = *result.redirect;
    const std::string& where = connection->where;
    if (redirect.reset) {
      redirect_.reset();
      append_failure(failures, where + ": o servidor desfez o redirecionamento (reset)");
      continue;
    }
    if (redirected) {
      throw ExchangeError(where + ": segundo redirecionamento na mesma tentativa, para " +
                          in_quotes(redirect.address) + ": não seguido");
    }
    if (revision_ && redirect.revision < *revision_) {
      throw ExchangeError(where + ": servidor respondeu \"failed\" (redirecionamento de revisão " +
                          std::to_string(redirect.revision) + " para " +
                          in_quotes(redirect.address) + " ignorado: o de revisão " +
                          std::to_string(*revision_) + " já foi seguido)");
    }
    auto target = parse_node(redirect.address, kRedirectPort);
    if (const auto* problem = std::get_if<std::string>(&target)) {
      throw ExchangeError(where + ": endereço de redirecionamento " + in_quotes(redirect.address) +
                          " inválido: " + *problem);
    }
    append_failure(failures, where + ": redirecionou para " + in_quotes(redirect.address));
    redirected = true;
    redirect_ = std::get<ServerNode>(std::move(target));
    revision_ = redirect.revision;
    destinations.push_front({*redirect_, std::nullopt});
  }
  throw ExchangeError(failures);
}

}  // namespace quillet
