#include "nodes.h"

#include <gtest/gtest.h>

#include "failure_of.h"

namespace quillet {
namespace {

using testing::failure_of;
using testing::kNoFailure;

// "host port|host port|...", or the Failure's message.
std::string parsed(const std::string& text) {
  std::string rendered;
  const std::string failure = failure_of<Failure>([&] {
    for (const ServerNode& node : parse_server_nodes(text, 10052)) {
      if (!rendered.empty()) rendered += '|';
      rendered += node.host + " " + std::to_string(node.port);
    }
  });
  return failure == kNoFailure ? rendered : failure;
}

TEST(ParseServerNodes, FormsDefaultsAndErrors) {
  const std::string bad = "argumento inválido / leitura da linha de comando / servidor Zabbix ";
  const std::string port = " inválida; use um número de 1 a 65535";
  const std::pair<std::string, std::string> rows[] = {
      // One node without a port: the text as it is, at ServerPort.
      {"zabbix.example.org", "zabbix.example.org 10052"},
      {"192.0.2.1", "192.0.2.1 10052"},
      {"2001:db8::1", "2001:db8::1 10052"},
      {"::1", "::1 10052"},
      {"a:b:c", "a:b:c 10052"},
      {"zbx a", "zbx a 10052"},
      {"[::1]", "::1 10052"},
      // With a port.
      {"zabbix.example.org:10051", "zabbix.example.org 10051"},
      {"192.0.2.1:1", "192.0.2.1 1"},
      {"[2001:db8::1]:65535", "2001:db8::1 65535"},
      {"[zbx]:10051", "zbx 10051"},
      {"zbx:010051", "zbx 10051"},
      // Cluster nodes, in order.
      {"127.0.0.1:10062;127.0.0.1:10061", "127.0.0.1 10062|127.0.0.1 10061"},
      {"a;[::1]:7;2001:db8::2;b:8", "a 10052|::1 7|2001:db8::2 10052|b 8"},
      // Errors, naming the node.
      {"", bad + "\"\": o nó 1 está vazio"},
      {"a;", bad + "\"a;\": o nó 2 está vazio"},
      {";a", bad + "\";a\": o nó 1 está vazio"},
      {"a;;b", bad + "\"a;;b\": o nó 2 está vazio"},
      {"zbx:", bad + "\"zbx:\": o nó 1 (\"zbx:\") tem a porta \"\"" + port},
      {"zbx:0", bad + "\"zbx:0\": o nó 1 (\"zbx:0\") tem a porta \"0\"" + port},
      {"a;zbx:65536", bad + "\"a;zbx:65536\": o nó 2 (\"zbx:65536\") tem a porta \"65536\"" + port},
      {"zbx:+1", bad + "\"zbx:+1\": o nó 1 (\"zbx:+1\") tem a porta \"+1\"" + port},
      {"zbx:1x", bad + "\"zbx:1x\": o nó 1 (\"zbx:1x\") tem a porta \"1x\"" + port},
      {"[::1]:99999999999", bad +
                                "\"[::1]:99999999999\": o nó 1 (\"[::1]:99999999999\") tem a "
                                "porta \"99999999999\"" +
                                port},
      {":10051", bad + "\":10051\": o nó 1 (\":10051\") não tem nome nem endereço antes de \":\""},
      {"[::1", bad + "\"[::1\": o nó 1 (\"[::1\") abre \"[\" sem fechar com \"]\""},
      {"a;[::1;b]:1", bad + "\"a;[::1;b]:1\": o nó 2 (\"[::1\") abre \"[\" sem fechar com \"]\""},
      {"[]:10051",
       bad + "\"[]:10051\": o nó 1 (\"[]:10051\") não tem endereço entre \"[\" e \"]\""},
      {"[::1]10051",
       bad + "\"[::1]10051\": o nó 1 (\"[::1]10051\") tem \"10051\" depois de \"]\", onde só cabe "
             ":porta"},
      {"[::1]:", bad + "\"[::1]:\": o nó 1 (\"[::1]:\") tem a porta \"\"" + port},
      // Whatever the argument holds reaches the console harmless.
      {"zbx:\x1b[2J", bad + "\"zbx:?[2J\": o nó 1 (\"zbx:?[2J\") tem a porta \"?[2J\"" + port},
  };
  for (const auto& [text, expected] : rows)
    EXPECT_EQ(parsed(text), expected) << text;
}

TEST(ParseNode, ARedirectAddressGetsTheDefaultGiven) {
  EXPECT_EQ(std::get<ServerNode>(parse_node("proxy-b", 10051)), (ServerNode{"proxy-b", 10051}));
  EXPECT_EQ(std::get<ServerNode>(parse_node("[2001:db8::5]:10053", 10051)),
            (ServerNode{"2001:db8::5", 10053}));
  EXPECT_EQ(std::get<std::string>(parse_node("proxy-b:x", 10051)),
            "tem a porta \"x\" inválida; use um número de 1 a 65535");
}

}  // namespace
}  // namespace quillet
