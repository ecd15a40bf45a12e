#include "transports.h"

#include <gtest/gtest.h>

#include "failure_of.h"
#include "scratch.h"

namespace quillet {
namespace {

using testing::failure_of;
using testing::ScratchDir;

TEST(TcpCounts, ReadsTheReadersLinesAndRefusesAnythingElse) {
  ScratchDir dir;
  const std::string path = (dir.path() / "tcp").string();
  dir.write("tcp", "A 192.0.2.1 3 0\nA ::1 7 4\nS 2\nB 0\nL 5\n");
  const TcpCounts counts = read_tcp_counts(path);
  EXPECT_EQ(counts.sources, (std::vector<TcpClient>{{"192.0.2.1", 3, 0}, {"::1", 7, 4}}));
  EXPECT_EQ(counts.without_start, 2);
  EXPECT_EQ(counts.broken, 0);
  EXPECT_EQ(counts.left_out, 5);
  const std::pair<std::string, const char*> refused[] = {
      {"A 192.0.2.1 3 0\nS 0\nB 0\n", "incompleta"},
      {"S 0\nL 0\nB 0\n", "inválida na linha 2"},
      {"A 192.0.2.1 3 4 5\nS 0\nB 0\nL 0\n", "inválida na linha 1"},
      {"A 192.0.2.999 3 0\nS 0\nB 0\nL 0\n", "inválida na linha 1"},
      {"A 192.0.2.1 -3 0\nS 0\nB 0\nL 0\n", "inválida na linha 1"},
      {"A 192.0.2.1 3\nS 0\nB 0\nL 0\n", "inválida na linha 1"},
      {"S 0\nB 0\nL 0\nA 192.0.2.1 3 0\n", "inválida na linha 4"},
      {"X\nS 0\nB 0\nL 0\n", "inválida na linha 1"},
      // The tables: in their order, names without blanks, 16 codes.
      {"S 0\nB 0\nL 0\nQ 1 0\nT 1 1\n", "incompleta"},
      {"S 0\nB 0\nL 0\nT 1 1\n", "inválida na linha 4"},
      {"S 0\nB 0\nL 0\nQ 1 0\nN 1 a.b\nT 1 1\n", "inválida na linha 6"},
      {"S 0\nB 0\nL 0\nQ 1 0\nR 1 0\n", "inválida na linha 5"},
      {"S 0\nB 0\nL 0\nQ 1 0\nN 1 a\x01b\n", "inválida na linha 5"},
      {"S 0\nB 0\nL 0\nQ 1 0\nR 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\nD ::1 1 a\n",
       "inválida na linha 6"},
  };
  for (const auto& [text, why] : refused) {
    dir.write("tcp", text);
    const bool tables = text.find('Q') != std::string::npos;
    EXPECT_EQ(failure_of<Failure>([&] { read_tcp_counts(path, tables); }),
              "erro de leitura / contagem TCP / saída do leitor TCP " + path + " " + why)
        << text;
  }
}

TEST(TcpCounts, ReadsTheTablesAfterTheCounts) {
  ScratchDir dir;
  const std::string zeros = " 0 0 0 0 0 0 0 0 0 0 0 0 0";
  dir.write("tcp",
            "A ::1 7 4\nS 0\nB 0\nL 0\nQ 9 1\nT 1 6\nT 28 3\nN 5 victim.example\nN 4 "
            "a\\032b.test\nR 6 0 1" +
                zeros + "\nC ::1 2 0 0" + zeros + "\nD ::1 2 a\\032b.test\nC 192.0.2.1 0 0 0" +
                zeros + "\n");
  QueryTables expected{9,
                       1,
                       {{1, 6}, {28, 3}},
                       {{"victim.example", 5}, {"a\\032b.test", 4}},
                       {6, 0, 1},
                       {{"::1", {2}, {{"a\\032b.test", 2}}}, {"192.0.2.1", {}, {}}}};
  EXPECT_EQ(read_tcp_counts((dir.path() / "tcp").string(), true).tables, expected);
  // Asked for and missing, or not asked for.
  EXPECT_EQ(failure_of<Failure>([&] { read_tcp_counts((dir.path() / "tcp").string()); }),
            "erro de leitura / contagem TCP / saída do leitor TCP " +
                (dir.path() / "tcp").string() + " inválida na linha 5");
  dir.write("tcp", "S 0\nB 0\nL 0\n");
  EXPECT_EQ(failure_of<Failure>([&] { read_tcp_counts((dir.path() / "tcp").string(), true); }),
            "erro de leitura / contagem TCP / saída do leitor TCP " +
                (dir.path() / "tcp").string() + " incompleta");
}

TEST(TcpCounts, JoinUdpByAddressWithSharesOfBothTransports) {
  ScratchDir dir;
  const std::vector<SourceRecord> udp = {{"192.0.2.1", 2, 66.7}, {"2001:db8::1", 1, 33.3}};
  // Without an Opcode table, the Sources table's own sum.
  dir.write("r", "Sources Count % cum%\n");
  EXPECT_EQ(udp_total((dir.path() / "r").string(), udp), 3);
  dir.write("r",
            "Opcode     Count      %   cum%\n------ --------- ------ ------\nQuery 5 1 1\n"
            "Notify 2 1 1\n\nRcode Count % cum%\nNoerror 9 1 1\n");
  EXPECT_EQ(udp_total((dir.path() / "r").string(), udp), 7);
  TcpCounts tcp;
  // The reader's UDP count of a client missing from a table that is not full
  // is not used: dnstop listed every UDP client.
  tcp.sources = {{"2001:db8::1", 1, 1}, {"198.51.100.7", 2, 5}};
  EXPECT_EQ(with_tcp(udp, 7, tcp),
            (std::vector<SourceRecord>{
                {"192.0.2.1", 2, 20.0}, {"2001:db8::1", 2, 20.0}, {"198.51.100.7", 2, 20.0}}));
  // One decimal, rounded as dnstop prints it: 1/6 is 16.7, 1/8 is 12.5.
  tcp.sources = {{"192.0.2.9", 1, 0}};
  EXPECT_EQ(with_tcp({}, 5, tcp), (std::vector<SourceRecord>{{"192.0.2.9", 1, 16.7}}));
  EXPECT_EQ(with_tcp({}, 7, tcp), (std::vector<SourceRecord>{{"192.0.2.9", 1, 12.5}}));
  // Beyond a full table of 50 rows of 2 queries, a client with 1 UDP query.
  const std::vector<SourceRecord> full(kReportRows, {"192.0.2.1", 2, 1.9});
  tcp.sources = {{"192.0.2.9", 3, 1}};
  EXPECT_EQ(with_tcp(full, 101, tcp).back(), (SourceRecord{"192.0.2.9", 4, 3.8}));
}

}  // namespace
}  // namespace quillet
