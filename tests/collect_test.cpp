#include "collect.h"

#include <sys/stat.h>

#include <fcntl.h>
#include <sys/file.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "buffer.h"
#include "failure_of.h"
#include "query_tables.h"
#include "scratch.h"
#include "test_context.h"
#include "trapper.h"

namespace quillet {
namespace {

using testing::failure_of;
using testing::ScratchDir;
using testing::TestContext;
using testing::Trapper;
using testing::TrapperBehaviour;
using testing::TrapperOptions;

// A collection run in a scratch directory: the fake runners play tcpdump and
// dnstop by writing the working files; a trapper takes the deliveries.
class Collection : public ::testing::Test {
 protected:
  void SetUp() override {
    t.ctx.capture = testing::capture_setup_in(dir.path());
    t.ctx.configuration_file = (dir.path() / "quillet.conf").string();
    t.ctx.delivery.connect_timeout = std::chrono::milliseconds(1000);
    t.ctx.delivery.reply_timeout = std::chrono::milliseconds(1000);
    t.ctx.settings = {"coletarDns", "/ignored", "127.0.0.1", "dns-lab"};
    t.runner.on_run = [this](const std::string& command_line) {
      if (command_line.starts_with("timeout ")) dir.write("dump.pcap", "pcap");
      return ExitStatus{};
    };
    t.contained.on_run = [this](const ContainedCommand&) {
      dir.write("dnstop_output.txt", report);
      return ContainedResult{};
    };
  }

  // Runs the collection, delivering to `port` as the configuration file says
  // (with `more` lines), and returns its status.
  int collect(int port, const std::string& more = "") {
    dir.write("quillet.conf", "ServerPort=" + std::to_string(port) + "\n" + more);
    return coletarDns("/ignored", t.ctx);
  }
  // The same with the persistent buffer on, its file in the working directory.
  int collect_buffered(int port, const std::string& more = "") {
    return collect(port, "EnablePersistentBuffer=1\n" + more);
  }

  PersistentBuffer buffer() const {
    return PersistentBuffer((dir.path() / "quillet.buffer").string(), std::chrono::hours(1));
  }
  // "key=value@clock announced|waiting" per buffered value.
  std::vector<std::string> buffered() const {
    std::vector<std::string> out;
    const BufferContents contents = buffer().read(t.now);
    for (const BufferedValue& v : contents.values) {
      out.push_back(contents.metric(v).key + "=" + value_text(contents.metric(v).value) + "@" +
                    std::to_string(v.clock) + (v.announced != 0 ? " announced" : " waiting"));
    }
    return out;
  }
  // "key=value@clock" per value the trapper received, one string per request.
  static std::vector<std::string> received(const Trapper& trapper) {
    std::vector<std::string> out;
    for (const auto& request : trapper.requests()) {
      std::string values;
      for (const auto& item : request.data) {
        if (!values.empty()) values += " ";
        values += item.key + "=" + (item.key == "descobertaDns" ? "..." : item.value) + "@" +
                  std::to_string(item.clock.value_or(-1));
      }
      out.push_back(values);
    }
    return out;
  }
  void later(int seconds) { t.now += std::chrono::seconds(seconds); }

  ScratchDir dir;
  TestContext t;
  std::string report = "Sources Count % cum%\n192.0.2.10 152 61.3 61.3\n2001:db8::1 40 16.1 77.4\n";
  const std::string debug_line_text =
      "[DEBUG] Executando: timeout 5 tcpdump --immediate-mode -B 65536 -s 512 -i ens18 -w " +
      dir.path().string() + "/dump.pcap udp port 53\n";
  // The listing's tables after the ranking, without a reader's tallies.
  const std::string kNoTables =
      "\nquillet.names (não enviado; EnableQueryTables=1 o envia):\n(sem as contagens do leitor "
      "TCP)\n\nquillet.client_names (não enviado; EnableQueryTables=1 o envia):\n(sem as "
      "contagens do leitor TCP)\n\nquillet.qtypes (não enviado; EnableQueryTables=1 o "
      "envia):\n(sem as contagens do leitor TCP)\n\nquillet.answers, quillet.rcode[*] (não "
      "enviados; EnableResponseCodes=1 os envia):\n(sem as contagens do leitor "
      "TCP)\n\nquillet.client_rcodes (não enviado; EnableResponseCodes=1 o envia):\n(sem as "
      "contagens do leitor TCP)\n";
};

TEST_F(Collection, DeliversTheDocumentThenCountAndPercentagePerAddress) {
  // Every value carries the moment tcpdump ended, however long the rest takes.
  const auto ended = t.now + std::chrono::seconds(5);
  const auto plays = t.runner.on_run;
  t.runner.on_run = [&](const std::string& command_line) {
    const ExitStatus status = plays(command_line);
    t.now = command_line.starts_with("timeout ") ? ended : ended + std::chrono::seconds(2);
    return status;
  };
  Trapper trapper;
  EXPECT_EQ(collect(trapper.port()), 0);
  EXPECT_EQ(t.out.str(), debug_line_text + "OK!\n");
  std::vector<std::string> sent;
  for (const auto& request : trapper.requests()) {
    // One value a request: the run's, then what it could not count.
    ASSERT_EQ(request.data.size(), 1u);
    EXPECT_EQ(request.data[0].host, "dns-lab");
    EXPECT_EQ(request.data[0].clock, testing::kTestClock + 5);
    EXPECT_EQ(request.data[0].ns, testing::kTestNs);
    sent.push_back(request.data[0].key + "=" + request.data[0].value);
  }
  EXPECT_EQ(sent,
            (std::vector<std::string>{
                "descobertaDns=" +
                    discovery_document({{"192.0.2.10", 152, 61.3}, {"2001:db8::1", 40, 16.1}}),
                "contDns[192.0.2.10]=152", "percentDns[192.0.2.10]=61.3", "contDns[2001:db8::1]=40",
                "percentDns[2001:db8::1]=16.1", "quillet.capture.dropped=0"}));
  EXPECT_TRUE(t.pauses.empty());
}

TEST_F(Collection, DebugListingSendsNothing) {
  t.ctx.settings.zabbix_host = "debug";
  EXPECT_EQ(collect(testing::closed_loopback_port()), 0);
  EXPECT_EQ(t.out.str(), debug_line_text + "Modo DEBUG ativado:\n\x1b[0;32m\nVersão do script: " +
                             std::string(VERSION) +
                             "\x1b[0;0m\n"
                             "{'{#SOURCE}': '192.0.2.10', '{#CONTAGEM}': 152, '{#PERCENTUAL}': "
                             "61.3}\n{'{#SOURCE}': '2001:db8::1', '{#CONTAGEM}': 40, "
                             "'{#PERCENTUAL}': 16.1}\n\nquillet.ranking (não enviado; "
                             "EnableRanking=1 o envia):\n"
                             "#  client       queries   share\n"
                             "1  192.0.2.10       152  61.3 %\n"
                             "2  2001:db8::1       40  16.1 %\n" +
                             kNoTables);
}

TEST_F(Collection, SendsTheRankedTableLastWithTheRunsClock) {
  Trapper trapper;
  EXPECT_EQ(collect(trapper.port(), "EnableRanking=1\n"), 0);
  const std::string table = ranking_table({{"192.0.2.10", 152, 61.3}, {"2001:db8::1", 40, 16.1}});
  // With the host's other items, in their request.
  ASSERT_EQ(trapper.requests().size(), 6u);
  const std::string at = "@" + std::to_string(testing::kTestClock);
  EXPECT_EQ(received(trapper)[5],
            "quillet.capture.dropped=0" + at + " quillet.ranking=" + table + at);
  EXPECT_EQ(trapper.requests()[5].data[1].ns, trapper.requests()[1].data[0].ns);
  t.ctx.settings.zabbix_host = "debug";
  t.out.str("");
  EXPECT_EQ(collect(trapper.port(), "EnableRanking=1\n"), 0);
  EXPECT_NE(t.out.str().find("16.1}\n\nquillet.ranking:\n" + table + "\n\nquillet.names ("),
            std::string::npos)
      << t.out.str();
}

// With the TCP reader: no TCP query leaves dnstop's listing as it was; TCP
// queries add to the counts, and every share is of both transports' total.
TEST_F(Collection, TcpQueriesJoinTheRankingAndTheShares) {
  t.ctx.settings.zabbix_host = "debug";
  t.ctx.capture.tcp_reader = "quillet-tcp";
  const std::string debug_line_text =
      "[DEBUG] Executando: " + tcpdump_command(t.ctx.capture) + "\n";
  std::string tcp;
  t.contained.on_run = [&](const ContainedCommand& command) {
    dir.write(command.program == "dnstop" ? "dnstop_output.txt" : "tcp_output.txt",
              command.program == "dnstop" ? report : tcp);
    return ContainedResult{};
  };
  const auto listing = [&](const std::string& lines) {
    return "Modo DEBUG ativado:\n\x1b[0;32m\nVersão do script: " + std::string(VERSION) +
           "\x1b[0;0m\n" + lines;
  };
  // What the run printed before its tables.
  const auto listed = [&] { return t.out.str().substr(0, t.out.str().find("\nquillet.ranking")); };
  // The listing asks the reader for its tables too.
  const std::string no_tables = "Q 0 0\nR 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n";
  tcp = "S 0\nB 0\nL 0\n" + no_tables;
  EXPECT_EQ(collect(testing::closed_loopback_port()), 0);
  EXPECT_EQ(listed(),
            debug_line_text + listing("{'{#SOURCE}': '192.0.2.10', '{#CONTAGEM}': 152, "
                                      "'{#PERCENTUAL}': 61.3}\n{'{#SOURCE}': '2001:db8::1', "
                                      "'{#CONTAGEM}': 40, '{#PERCENTUAL}': 16.1}\n"));
  // 248 UDP queries in the Opcode table, 12 over TCP: 260 in all.
  report += "\nOpcode Count % cum%\n------ ----- - ----\nQuery 240 96.8 96.8\nUpdate 8 3.2 100.0\n";
  tcp = "A 2001:db8::1 2 0\nA 192.0.2.99 10 0\nS 3\nB 1\nL 4\n" + no_tables;
  t.out.str("");
  EXPECT_EQ(collect(testing::closed_loopback_port()), 0);
  EXPECT_EQ(listed(),
            debug_line_text +
                "[AVISO] TCP: 3 conexões começaram antes da captura; suas consultas não foram "
                "contadas.\n[AVISO] TCP: 1 conexões com enquadramento inválido; suas consultas "
                "seguintes não foram contadas.\n[AVISO] TCP: 4 conexões deixadas de fora nos "
                "limites do leitor; suas consultas não foram contadas.\n" +
                listing("{'{#SOURCE}': '192.0.2.10', '{#CONTAGEM}': 152, '{#PERCENTUAL}': "
                        "58.5}\n{'{#SOURCE}': '2001:db8::1', '{#CONTAGEM}': 42, '{#PERCENTUAL}': "
                        "16.2}\n{'{#SOURCE}': '192.0.2.99', '{#CONTAGEM}': 10, '{#PERCENTUAL}': "
                        "3.8}\n"));
  // A reader that fails costs the TCP queries alone: dnstop's ranking, status 1.
  t.contained.on_run = [&](const ContainedCommand& command) {
    dir.write("dnstop_output.txt", report);
    return ContainedResult{{true, command.program == "dnstop" ? 0 : 1, 0}, "", ""};
  };
  t.out.str("");
  EXPECT_EQ(collect(testing::closed_loopback_port()), 1);
  EXPECT_TRUE(listed().ends_with(
      "terminou com status 1; as consultas TCP não foram contadas.\n" +
      listing("{'{#SOURCE}': '192.0.2.10', '{#CONTAGEM}': 152, '{#PERCENTUAL}': 61.3}\n"
              "{'{#SOURCE}': '2001:db8::1', '{#CONTAGEM}': 40, '{#PERCENTUAL}': 16.1}\n")))
      << t.out.str();
}

// The tables the keys ask for, from the reader's tallies, with the host's
// other values; without the keys the reader is asked for nothing more.
TEST_F(Collection, SendsTheTablesTheKeysAskFor) {
  t.ctx.capture.tcp_reader = "quillet-tcp";
  const std::string codes = " 0 1 1 0 0 0 0 0 0 0 0 0 0 0 0";  // 8 NOERROR, 1, 1
  const std::string tables = "Q 10 0\nT 1 10\nN 10 victim.example\nR 8" + codes +
                             "\nC 192.0.2.10 8" + codes + "\nD 192.0.2.10 10 victim.example\n";
  std::vector<std::string> asked;
  t.contained.on_run = [&](const ContainedCommand& command) {
    if (command.program == "dnstop") dir.write("dnstop_output.txt", report);
    if (command.program != "dnstop") asked = command.args;
    const bool tallied = std::find(asked.begin(), asked.end(), "-t") != asked.end();
    dir.write("tcp_output.txt", "S 0\nB 0\nL 0\n" + (tallied ? tables : std::string()));
    return ContainedResult{};
  };
  Trapper trapper;
  EXPECT_EQ(collect(trapper.port(), "EnableQueryTables=0\nEnableResponseCodes=0\n"), 0);
  EXPECT_TRUE(asked.empty());
  const std::string none = received(trapper).back();
  EXPECT_EQ(collect(trapper.port(), "EnableQueryTables=1\nEnableResponseCodes=1\n"), 0);
  EXPECT_EQ(asked, (std::vector<std::string>{"-t", "-c", "192.0.2.10", "-c", "2001:db8::1"}));
  const QueryTables read = *read_tcp_counts((dir.path() / "tcp_output.txt").string(), true).tables;
  const std::vector<SourceRecord> ranked = {{"192.0.2.10", 152, 61.3}, {"2001:db8::1", 40, 16.1}};
  const std::string at = "@" + std::to_string(testing::kTestClock);
  EXPECT_EQ(received(trapper).back(),
            none + " quillet.names=" + names_table(read) + at + " quillet.client_names=" +
                client_names_table(ranked, read) + at + " quillet.qtypes=" + types_table(read) +
                at + " quillet.answers=10" + at + " quillet.rcode[NOERROR]=80.0" + at +
                " quillet.rcode[NXDOMAIN]=10.0" + at + " quillet.rcode[SERVFAIL]=10.0" + at +
                " quillet.rcode[REFUSED]=0.0" + at + " quillet.rcode[other]=0.0" + at +
                " quillet.client_rcodes=" + client_rcodes_table(ranked, read) + at);
  // The listing shows them whatever the keys say.
  t.ctx.settings.zabbix_host = "debug";
  t.out.str("");
  EXPECT_EQ(collect(trapper.port()), 0);
  EXPECT_NE(t.out.str().find("\nquillet.names (não enviado; EnableQueryTables=1 o envia):\n" +
                             names_table(read) + "\n"),
            std::string::npos)
      << t.out.str();
  EXPECT_TRUE(t.out.str().ends_with("o envia):\n" + client_rcodes_table(ranked, read) + "\n"));
}

TEST_F(Collection, SaysWhatZabbixRefused) {
  using B = TrapperBehaviour;
  const std::string discovery_refused =
      "[ERRO] O Zabbix recusou a descoberta (descobertaDns) do host \"dns-lab\": confira o nome do "
      "host, o template e os hosts permitidos.\n";
  auto values_refused = [](int n, int m) {
    return "[AVISO] O Zabbix recusou " + std::to_string(n) + " de " + std::to_string(m) +
           " valores: endereços novos só são aceitos depois que a descoberta cria seus itens.\n";
  };
  const std::string one_given_up = "[ERRO] 1 de 6 envios ao Zabbix falharam.\n";
  struct Row {
    std::vector<B> script;  // per connection; the last one repeats
    int status;
    std::string ending;
  };
  const Row rows[] = {
      // The discovery given up after five attempts, every value delivered.
      {{B::failed, B::failed, B::failed, B::failed, B::failed, B::success}, 1, one_given_up},
      {{B::refused, B::success}, 1, discovery_refused},
      {{B::success, B::refused, B::success, B::refused, B::success},
       0,
       values_refused(2, 4) + "OK!\n"},
      {{B::refused}, 1, discovery_refused},
      {{B::refused, B::failed, B::failed, B::failed, B::failed, B::failed, B::refused},
       1,
       discovery_refused + one_given_up},
      {{B::success, B::failed, B::failed, B::failed, B::failed, B::failed, B::refused, B::success},
       1,
       values_refused(1, 3) + one_given_up},
      // A template older than the items of what the run could not count.
      {{B::success, B::success, B::success, B::success, B::success, B::refused},
       0,
       "[AVISO] O Zabbix recusou os valores do próprio host (quillet.*) de \"dns-lab\": importe "
       "nele o template atual, de /usr/share/quillet/.\nOK!\n"},
  };
  for (const Row& row : rows) {
    Trapper trapper(TrapperOptions::answering(row.script));
    t.out.str("");
    EXPECT_EQ(collect(trapper.port()), row.status);
    const std::string out = t.out.str();
    EXPECT_TRUE(out.ends_with(
        (out.find('\x1b') == std::string::npos ? debug_line_text : "\x1b[0;0m\n") + row.ending))
        << out;
    EXPECT_EQ(out.find("OK!") != std::string::npos, row.status == 0) << out;
  }
}

TEST_F(Collection, TheConfigurationFileChoosesPortAndEncryption) {
  // A PSK trapper on its own port: the run must take both from the file.
  TrapperOptions psk;
  psk.tls.emplace();
  psk.tls->psk_identity = "dns-lab";
  psk.tls->psk = std::string(16, '\x11');
  Trapper trapper(psk);
  const auto key = dir.write("psk.key", std::string(32, '1') + "\n");
  std::filesystem::permissions(key, std::filesystem::perms::owner_read);
  dir.write("quillet.conf", "TLSConnect=psk\nTLSPSKIdentity=dns-lab\nTLSPSKFile=" + key.string() +
                                "\nServerPort=" + std::to_string(trapper.port()) + "\n");
  EXPECT_EQ(coletarDns("/ignored", t.ctx), 0);
  EXPECT_EQ(t.out.str(), debug_line_text + "OK!\n");
  EXPECT_EQ(trapper.requests().size(), 6u);

  // A file that cannot be used ends the run before the capture.
  dir.write("quillet.conf", "TLSConnect=psk\n");
  t.out.str("");
  t.runner.calls.clear();
  EXPECT_EQ(failure_of<ConfigError>([&] { coletarDns("/ignored", t.ctx); }),
            t.ctx.configuration_file +
                ":1: TLSConnect=psk requer TLSPSKIdentity e TLSPSKFile; faltam TLSPSKIdentity e "
                "TLSPSKFile");
  EXPECT_EQ(t.out.str(), "");
  EXPECT_TRUE(t.runner.calls.empty());
  EXPECT_EQ(trapper.requests().size(), 6u);
}

TEST_F(Collection, ClusterNodesAndRedirectsLeaveTheConsoleAsItIs) {
  // The first node is down, the second sends the run to a third address,
  // which takes the first value and every later one; from 127.0.0.2.
  Trapper target;
  TrapperOptions options = TrapperOptions::answering({TrapperBehaviour::redirect});
  options.redirect_address = "127.0.0.1:" + std::to_string(target.port());
  Trapper node(options);
  t.ctx.settings.zabbix_server = "127.0.0.1:" + std::to_string(testing::closed_loopback_port()) +
                                 ";127.0.0.1:" + std::to_string(node.port());
  dir.write("quillet.conf", "SourceIP=127.0.0.2\n");
  EXPECT_EQ(coletarDns("/ignored", t.ctx), 0);
  EXPECT_EQ(t.out.str(), debug_line_text + "OK!\n");
  EXPECT_EQ(node.requests().size(), 1u);
  ASSERT_EQ(target.requests().size(), 6u);
  for (const auto& request : target.requests())
    EXPECT_EQ(request.peer, "127.0.0.2");
  EXPECT_TRUE(t.pauses.empty());
}

TEST_F(Collection, FailedCaptureEndsWithStatus1) {
  t.runner.on_run = [](const std::string&) { return ExitStatus{}; };
  EXPECT_EQ(collect(testing::closed_loopback_port()), 1);
  EXPECT_EQ(t.out.str(), debug_line_text +
                             "[ERRO] Nenhum pacote DNS capturado (arquivo .pcap vazio).\n"
                             " Erro ao Capturar dados do dnstop.\n");
}

TEST_F(Collection, ASecondRunLeavesTheWorkingFilesAlone) {
  dir.write("dump.pcap", "earlier capture");
  Fd holder(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_EQ(::flock(holder.get(), LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(collect(testing::closed_loopback_port()), 1);
  EXPECT_EQ(t.out.str(),
            "[ERRO] Outra coleta já está em execução em " + t.ctx.capture.work_dir + ".\n");
  EXPECT_TRUE(t.runner.calls.empty());
  EXPECT_EQ(testing::read_file(dir.path() / "dump.pcap"), "earlier capture");

  holder.reset();
  Trapper trapper;
  EXPECT_EQ(collect(trapper.port()), 0);
}

const std::string kRefused =
    "\x1b[1;31mErro ao enviar para o Zabbix: 127.0.0.1:{P}: conexão falhou: Connection "
    "refused\x1b[0;0m\n";

TEST_F(Collection, WithoutTheBufferAnOutageTouchesNoBufferFile) {
  EXPECT_EQ(collect(testing::closed_loopback_port()), 1);
  EXPECT_TRUE(t.out.str().ends_with("[ERRO] 6 de 6 envios ao Zabbix falharam.\n"));
  EXPECT_EQ(t.pauses.size(), 25u);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "quillet.buffer"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "quillet.buffer.lock"));
}

TEST_F(Collection, AnOutageKeepsTheValuesAndTheNextRunsAnnounceThenDeliverThem) {
  const int down = testing::closed_loopback_port();
  const std::int64_t outage = testing::kTestClock;
  EXPECT_EQ(collect_buffered(down), 1);
  std::string refused = kRefused;
  refused.replace(refused.find("{P}"), 3, std::to_string(down));
  std::string five;
  for (int i = 0; i < 5; ++i)
    five += refused;
  // One value's attempts; the rest go straight to the buffer.
  EXPECT_EQ(t.out.str(), debug_line_text + five +
                             "[ERRO] 6 de 6 envios ao Zabbix falharam; 4 valores guardados no "
                             "buffer persistente, que agora tem 4 valores.\n");
  EXPECT_EQ(t.pauses.size(), 5u);
  const std::string at = "@" + std::to_string(outage);
  EXPECT_EQ(buffered(),
            (std::vector<std::string>{"contDns[192.0.2.10]=152" + at + " waiting",
                                      "percentDns[192.0.2.10]=61.3" + at + " waiting",
                                      "contDns[2001:db8::1]=40" + at + " waiting",
                                      "percentDns[2001:db8::1]=16.1" + at + " waiting"}));
  struct stat st {};
  ASSERT_EQ(::stat((dir.path() / "quillet.buffer").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  // Recovery: a client seen only now, and one of the outage's is gone. The
  // discovery lists the buffered one after the ranking; nothing buffered goes.
  Trapper trapper;
  report = "Sources Count % cum%\n198.51.100.7 9 100.0 100.0\n";
  later(60);
  t.out.str("");
  EXPECT_EQ(collect_buffered(trapper.port()), 0);
  EXPECT_EQ(t.out.str(), debug_line_text +
                             "[AVISO] Buffer persistente: 4 valores guardados aguardam as "
                             "próximas coletas.\nOK!\n");
  ASSERT_EQ(trapper.requests().size(), 4u);
  EXPECT_EQ(trapper.requests()[0].data[0].value, discovery_document({{"198.51.100.7", 9, 100.0},
                                                                     {"192.0.2.10", 152, 61.3},
                                                                     {"2001:db8::1", 40, 16.1}}));
  EXPECT_EQ(buffered(),
            (std::vector<std::string>{"contDns[192.0.2.10]=152" + at + " announced",
                                      "percentDns[192.0.2.10]=61.3" + at + " announced",
                                      "contDns[2001:db8::1]=40" + at + " announced",
                                      "percentDns[2001:db8::1]=16.1" + at + " announced"}));

  // The next run: its own values, then the kept ones in one request with
  // their own clocks.
  later(60);
  t.out.str("");
  EXPECT_EQ(collect_buffered(trapper.port()), 0);
  EXPECT_EQ(t.out.str(), debug_line_text +
                             "[AVISO] Buffer persistente: 4 valores guardados entregues em 1 "
                             "envios; restam 0.\nOK!\n");
  const std::string now = "@" + std::to_string(outage + 120);
  const auto requests = received(trapper);
  EXPECT_EQ(std::vector<std::string>(requests.begin() + 4, requests.end()),
            (std::vector<std::string>{
                "descobertaDns=..." + now, "contDns[198.51.100.7]=9" + now,
                "percentDns[198.51.100.7]=100.0" + now, "quillet.capture.dropped=0" + now,
                "contDns[192.0.2.10]=152" + at + " percentDns[192.0.2.10]=61.3" + at +
                    " contDns[2001:db8::1]=40" + at + " percentDns[2001:db8::1]=16.1" + at}));
  EXPECT_TRUE(buffered().empty());
  // After the backlog, the discovery is the run's own ranking again.
  later(60);
  EXPECT_EQ(collect_buffered(trapper.port()), 0);
  ASSERT_EQ(trapper.requests().size(), 13u);
  EXPECT_EQ(trapper.requests()[9].data[0].value, discovery_document({{"198.51.100.7", 9, 100.0}}));
}

TEST_F(Collection, AValueGivenUpAfterTheDiscoveryKeepsTheRestAnnounced) {
  using B = TrapperBehaviour;
  Trapper trapper(TrapperOptions::answering(
      {B::success, B::failed, B::failed, B::failed, B::failed, B::failed}));
  EXPECT_EQ(collect_buffered(trapper.port()), 1);
  EXPECT_TRUE(
      t.out.str().ends_with("\x1b[0;0m\n[ERRO] 5 de 6 envios ao Zabbix falharam; 4 valores "
                            "guardados no buffer persistente, que agora tem 4 valores.\n"))
      << t.out.str();
  EXPECT_EQ(trapper.requests().size(), 6u);
  const std::vector<std::string> kept = buffered();
  ASSERT_EQ(kept.size(), 4u);
  for (const std::string& v : kept)
    EXPECT_TRUE(v.ends_with(" announced")) << v;
}

TEST_F(Collection, ARefusedDiscoveryKeepsTheHostsValuesAndSendsNone) {
  const ValueClock before{testing::kTestClock - 60, 0};
  buffer().append({{"dns-lab", "contDns[192.0.2.1]", std::int64_t{1}, before},
                   {"dns-other", "contDns[192.0.2.1]", std::int64_t{2}, before}},
                  1);
  Trapper trapper(TrapperOptions::answering({TrapperBehaviour::refused}));
  EXPECT_EQ(collect_buffered(trapper.port()), 1);
  EXPECT_TRUE(t.out.str().ends_with(
      "[AVISO] Buffer persistente: 1 valores guardados do host \"dns-lab\" ficam no buffer até "
      "que o Zabbix aceite a descoberta ou até o fim do período de 1h.\n"))
      << t.out.str();
  EXPECT_EQ(trapper.requests().size(), 6u);
  EXPECT_EQ(buffer().read(t.now).values.size(), 2u);
}

}  // namespace
}  // namespace quillet
