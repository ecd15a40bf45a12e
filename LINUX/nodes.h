// Where the values of a run go, as the third argument names it: one Zabbix
// server or proxy, or the nodes of one HA cluster in the form of the agent's
// ServerActive, "node[;node]...". The address of a proxy group's redirect is
// read the same way.
#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quillet {

struct ServerNode {
  std::string host;  // a name or a numeric address, without brackets
  int port = 0;
  bool operator==(const ServerNode&) const = default;
};

// One node: "name", "address", "name:port", "IPv4:port" or "[IPv6]:port"; an
// address with two colons or more and no brackets is an IPv6 address without
// a port. Without a port the node gets `default_port`. Returns the node, or
// what is wrong with it as a phrase whose subject is the node ("está vazio").
std::variant<ServerNode, std::string> parse_node(std::string_view text, int default_port);

// The nodes of `zabbix_server`, in the order given. An empty node, a bad port
// or brackets that do not close raise Failure, naming the node.
std::vector<ServerNode> parse_server_nodes(std::string_view zabbix_server, int default_port);

}  // namespace quillet
