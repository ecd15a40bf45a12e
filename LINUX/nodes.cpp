#include "nodes.h"

#include "failure.h"
#include "format.h"

namespace quillet {

std::variant<ServerNode, std::string> parse_node(std::string_view text, int default_port) {
  if (text.empty()) return std::string("está vazio");
  std::string_view host = text;
  std::string_view port;
  bool has_port = false;
  if (text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos) return std::string("abre \"[\" sem fechar com \"]\"");
    host = text.substr(1, close - 1);
    if (host.empty()) return std::string("não tem endereço entre \"[\" e \"]\"");
    const std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':')
        return "tem " + in_quotes(rest) + " depois de \"]\", onde só cabe :porta";
      port = rest.substr(1);
      has_port = true;
    }
  } else if (const std::size_t colon = text.find(':');
             colon != std::string_view::npos &&
             text.find(':', colon + 1) == std::string_view::npos) {
    // One colon: name or IPv4 address, then the port. More: a bare IPv6 address.
    host = text.substr(0, colon);
    if (host.empty()) return std::string("não tem nome nem endereço antes de \":\"");
    port = text.substr(colon + 1);
    has_port = true;
  }
  int number = default_port;
  if (has_port) {
    const std::optional<int> given = port_number(port);
    if (!given) return "tem a porta " + in_quotes(port) + " inválida; use um número de 1 a 65535";
    number = *given;
  }
  return ServerNode{std::string(host), number};
}

std::vector<ServerNode> parse_server_nodes(std::string_view zabbix_server, int default_port) {
  std::vector<ServerNode> nodes;
  std::string_view rest = zabbix_server;
  for (int number = 1;; ++number) {
    const std::size_t semi = rest.find(';');
    const std::string_view text = rest.substr(0, semi);
    auto node = parse_node(text, default_port);
    if (auto* problem = std::get_if<std::string>(&node)) {
      std::string which = "o nó " + std::to_string(number);
      if (!text.empty()) which += " (" + in_quotes(text) + ")";
      throw Failure("argumento inválido", "leitura da linha de comando",
                    "servidor Zabbix " + in_quotes(zabbix_server) + ": " + which + " " + *problem);
    }
    nodes.push_back(std::get<ServerNode>(std::move(node)));
    if (semi == std::string_view::npos) return nodes;
    rest.remove_prefix(semi + 1);
  }
}

}  // namespace quillet
