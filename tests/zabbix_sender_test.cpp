#include "zabbix_sender.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "failure_of.h"
#include "os.h"
#include "scratch.h"
#include "trapper.h"

namespace quillet {
namespace {

using ms = std::chrono::milliseconds;
using testing::kNoFailure;
using testing::Trapper;
using testing::TrapperBehaviour;
using testing::TrapperOptions;
using testing::TrapperRequest;

const std::string kSuccessBody =
    R"({"response":"success","info":"processed: 1; failed: 0; total: 1; seconds spent: 0.000037"})";

std::string frame(std::string_view body, std::string_view magic = "ZBXD", char flag = 0x01,
                  std::optional<std::uint32_t> announced = std::nullopt) {
  std::uint32_t length = announced.value_or(static_cast<std::uint32_t>(body.size()));
  std::string out(magic);
  out += flag;
  for (int i = 0; i < 4; ++i)
    out += static_cast<char>((length >> (8 * i)) & 0xFF);
  out.append(4, '\0');
  return out + std::string(body);
}

// The description of the ExchangeError that `f` raises, or kNoFailure.
template <typename F>
std::string failure_of(F&& f) {
  return testing::failure_of<ExchangeError>(std::forward<F>(f));
}

std::size_t open_descriptors() {
  return static_cast<std::size_t>(std::distance(
      std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator()));
}

std::vector<ZabbixMetric> one(MetricValue value) {
  return {ZabbixMetric{"dns-lab", "contDns[192.0.2.10]", std::move(value)}};
}

std::string body_of(const std::string& request) {
  return request.substr(kFrameHeaderSize);
}

TEST(EncodeRequest, MatchesTheRealSenderByteForByte) {
  const std::string expected =
      std::string("ZBXD\x01\x5f\x00\x00\x00\x00\x00\x00\x00", 13) +
      R"({"request":"sender data","data":[{"host":"dns-lab","key":"contDns[192.0.2.10]","value":"152"}]})";
  EXPECT_EQ(encode_request(one(std::int64_t{152})), expected);
  EXPECT_EQ(expected.size(), 108u);

  // A value's own clock follows it, as the sender's --with-timestamps --with-ns writes it.
  ZabbixMetric dated = one(std::int64_t{152})[0];
  dated.clock = ValueClock{1765000000, 5};
  EXPECT_EQ(body_of(encode_request({dated})),
            R"({"request":"sender data","data":[{"host":"dns-lab","key":"contDns[192.0.2.10]",)"
            R"("value":"152","clock":1765000000,"ns":5}]})");
}

TEST(EncodeRequest, ValueClockSplitsTheMomentIntoSecondsAndNanoseconds) {
  using std::chrono::system_clock;
  const std::pair<system_clock::time_point, ValueClock> rows[] = {
      {system_clock::time_point{}, {0, 0}},
      {system_clock::time_point{std::chrono::nanoseconds(1765000000'999999999)},
       {1765000000, 999999999}},
      {system_clock::time_point{std::chrono::seconds(1765000000)}, {1765000000, 0}},
  };
  for (const auto& [moment, clock] : rows)
    EXPECT_EQ(value_clock(moment), clock);
}

TEST(EncodeRequest, ValuesTravelAsText) {
  const std::pair<MetricValue, std::string> rows[] = {
      {std::int64_t{152}, "152"},
      {std::int64_t{-7}, "-7"},
      {std::int64_t{9223372036854775807}, "9223372036854775807"},
      {61.3, "61.3"},
      {100.0, "100.0"},
      {0.0, "0.0"},
      {1e-05, "1e-05"},
      {1.0 / 3.0, "0.3333333333333333"},
      {std::string(R"({"data": []})"), R"({"data": []})"},
      {std::string(""), ""},
  };
  for (const auto& [value, text] : rows) {
    EXPECT_EQ(value_text(value), text);
    auto body = nlohmann::json::parse(body_of(encode_request(one(value))));
    EXPECT_EQ(body["data"][0]["value"], text);
  }
}

TEST(EncodeRequest, EscapesWhateverHostAndKeyComeIn) {
  ZabbixMetric m{"h\"o\\st\n\x01 é/", "k[\"a b\"]\t", std::string("v\u2028")};
  std::string request = encode_request({m});
  EXPECT_EQ(body_of(request),
            "{\"request\":\"sender data\",\"data\":[{\"host\":\"h\\\"o\\\\st\\n\\u0001 é/\","
            "\"key\":\"k[\\\"a b\\\"]\\t\",\"value\":\"v\u2028\"}]}");
  auto body = nlohmann::json::parse(body_of(request));
  EXPECT_EQ(body["data"][0]["host"], m.host);
  EXPECT_EQ(body["data"][0]["key"], m.key);
  // The header announces the body's length, little-endian.
  std::uint32_t announced = 0;
  for (int i = 0; i < 4; ++i) {
    announced |= std::uint32_t{static_cast<unsigned char>(request[5 + i])} << (8 * i);
  }
  EXPECT_EQ(announced, request.size() - kFrameHeaderSize);
}

TEST(EncodeRequest, RefusesTextThatIsNotUtf8) {
  const std::pair<ZabbixMetric, std::string> rows[] = {
      {{"h\xff", "k", std::int64_t{1}}, "o nome do host não é texto UTF-8 válido"},
      {{"h", "k\xc3", std::int64_t{1}}, "a chave do item não é texto UTF-8 válido"},
      {{"h", "k", std::string("\xed\xa0\x80")}, "o valor não é texto UTF-8 válido"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(testing::failure_of<Failure>([&] { encode_request({row.first}); }),
              "dados inválidos / envio ao Zabbix / " + row.second);
  }
}

TEST(DecodeReply, ReadsSuccessAndItsFigures) {
  SendResult r = decode_reply(frame(kSuccessBody));
  EXPECT_EQ(r.response, "success");
  EXPECT_EQ(r.info, "processed: 1; failed: 0; total: 1; seconds spent: 0.000037");
  EXPECT_EQ(r.processed, 1);
  EXPECT_EQ(r.failed, 0);
  EXPECT_EQ(r.total, 1);
  EXPECT_EQ(r.seconds_spent, 0.000037);

  // A server that filed nothing still answers "success": not judged here.
  SendResult none = decode_reply(frame(R"({"response":"success"})"));
  EXPECT_EQ(none.info, "");
  EXPECT_FALSE(none.processed);
}

TEST(DecodeReply, ReadsInfoLeniently) {
  struct Row {
    std::string info;
    std::optional<std::int64_t> processed, failed, total;
    std::optional<double> seconds;
  };
  const Row rows[] = {
      {"processed: 0; failed: 1; total: 1; seconds spent: 0.000012", 0, 1, 1, 0.000012},
      {"processed:3;failed:  0 ;total: 3", 3, 0, 3, std::nullopt},
      {"processed:\t0;\tfailed:\t2\t; total: 2\n", 0, 2, 2, std::nullopt},
      {"failed: x; processed: 2; seconds spent: ", 2, std::nullopt, std::nullopt, std::nullopt},
      {"Processed 1 Failed 0 Total 1", std::nullopt, std::nullopt, std::nullopt, std::nullopt},
      {";;: ; total: 99999999999999999999", std::nullopt, std::nullopt, std::nullopt, std::nullopt},
  };
  for (const auto& row : rows) {
    SendResult r;
    parse_reply_info(row.info, r);
    EXPECT_EQ(r.processed, row.processed) << row.info;
    EXPECT_EQ(r.failed, row.failed) << row.info;
    EXPECT_EQ(r.total, row.total) << row.info;
    EXPECT_EQ(r.seconds_spent, row.seconds) << row.info;
  }
}

const std::string kBadRedirect =
    "resposta inválida: redirecionamento sem \"revision\" e \"address\"";

TEST(DecodeReply, ReadsRedirects) {
  struct Row {
    std::string body;
    std::string response;
    std::optional<std::string> redirect;  // "reset", or "revision address"
  };
  const Row rows[] = {
      {R"({"redirect":{"revision":7,"address":"192.0.2.5:10053"},"response":"failed"})", "failed",
       "7 192.0.2.5:10053"},
      {R"({"response":"failed","redirect":{"address":"proxy-b","revision":18446744073709551615}})",
       "failed", "18446744073709551615 proxy-b"},
      {R"({"redirect":{"reset":true},"response":"failed"})", "failed", "reset"},
      {R"({"redirect":{"reset":true,"revision":3,"address":"b"},"response":"failed"})", "failed",
       "reset"},
      // A success stands, whatever else the reply says.
      {R"({"redirect":{"revision":7,"address":"b"},"response":"success","info":"processed: 1"})",
       "success", std::nullopt},
  };
  for (const Row& row : rows) {
    const SendResult r = decode_reply(frame(row.body));
    EXPECT_EQ(r.response, row.response) << row.body;
    std::optional<std::string> redirect;
    if (r.redirect) {
      redirect = r.redirect->reset
                     ? "reset"
                     : std::to_string(r.redirect->revision) + " " + r.redirect->address;
    }
    EXPECT_EQ(redirect, row.redirect) << row.body;
  }
}

TEST(DecodeReply, RefusesMalformedAndUnsuccessfulReplies) {
  const std::pair<std::string, std::string> rows[] = {
      {"ZBXD\x01", "resposta inválida: cabeçalho incompleto (5 bytes)"},
      {frame(kSuccessBody, "ZBXE"), "resposta inválida: cabeçalho sem \"ZBXD\""},
      {frame(kSuccessBody, "ZBXD", 0x02),
       "resposta inválida: indicador de protocolo 0x02 não suportado"},
      {frame(kSuccessBody, "ZBXD", 0x03),
       "resposta inválida: indicador de protocolo 0x03 não suportado"},
      {frame(kSuccessBody, "ZBXD", 0x05),
       "resposta inválida: indicador de protocolo 0x05 não suportado"},
      {frame(kSuccessBody, "ZBXD", 0x00),
       "resposta inválida: indicador de protocolo 0x00 não suportado"},
      {frame("", "ZBXD", 0x01, 1048577),
       "resposta inválida: tamanho anunciado de 1048577 bytes, acima do limite de 1048576"},
      {frame("", "ZBXD", 0x01, 0xFFFFFFFF),
       "resposta inválida: tamanho anunciado de 4294967295 bytes, acima do limite de 1048576"},
      {frame(kSuccessBody, "ZBXD", 0x01, 10),
       "resposta inválida: 90 bytes de corpo, anunciados 10"},
      {frame("{\"response\":\"success\""), "resposta inválida: corpo não é JSON válido"},
      {frame(""), "resposta inválida: corpo não é JSON válido"},
      {frame("{\"response\":\"success\"}\xff"), "resposta inválida: corpo não é JSON válido"},
      {frame("[\"success\"]"), "resposta inválida: sem o campo \"response\""},
      {frame("{\"info\":\"processed: 1\"}"), "resposta inválida: sem o campo \"response\""},
      {frame(R"({"response":"failed","info":"cannot parse"})"),
       "servidor respondeu \"failed\" (info: \"cannot parse\")"},
      {frame(R"({"response":"failed"})"), "servidor respondeu \"failed\""},
      {frame(R"({"response":"Success"})"), "servidor respondeu \"Success\""},
      {frame(R"({"response":1})"), "servidor respondeu \"1\""},
      {frame(R"({"response":"fail\u001b[2J","info":"a\nb"})"),
       "servidor respondeu \"fail?[2J\" (info: \"a?b\")"},
      // A redirect is read only when it is whole.
      {frame(R"({"redirect":{"revision":-1,"address":"b"},"response":"failed"})"), kBadRedirect},
      {frame(R"({"redirect":{"revision":1.5,"address":"b"},"response":"failed"})"), kBadRedirect},
      {frame(R"({"redirect":{"revision":"1","address":"b"},"response":"failed"})"), kBadRedirect},
      {frame(R"({"redirect":{"revision":1},"response":"failed"})"), kBadRedirect},
      {frame(R"({"redirect":{"address":"b"},"response":"failed"})"), kBadRedirect},
      {frame(R"({"redirect":{"reset":false},"response":"failed"})"), kBadRedirect},
      {frame(R"({"redirect":"b:10051","response":"failed"})"), kBadRedirect},
      {frame(R"({"redirect":{"revision":1,"address":"b"},"response":"Failed"})"),
       "servidor respondeu \"Failed\""},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(failure_of([&] { decode_reply(row.first); }), row.second);
  }
}

TEST(DecodeReply, CutsLongServerTextAtACharacterBoundary) {
  std::string info = std::string(255, 'a') + "é" + std::string(100, 'b');
  std::string got = failure_of([&] {
    decode_reply(frame(nlohmann::json{{"response", "failed"}, {"info", info}}.dump()));
  });
  EXPECT_EQ(got, "servidor respondeu \"failed\" (info: \"" + std::string(255, 'a') + "...\")");
}

TEST(ZabbixSender, RefusesSettingsThatCannotWork) {
  struct Row {
    int port;
    ms connect, reply;
    std::string message;  // empty: accepted
  };
  const Row rows[] = {
      {0, ms(1000), ms(1000), "porta do Zabbix fora do intervalo 1-65535: 0"},
      {65536, ms(1000), ms(1000), "porta do Zabbix fora do intervalo 1-65535: 65536"},
      {10052, -ms(1), ms(1000), "limite de tempo negativo para o envio ao Zabbix"},
      {10052, ms(1000), -ms(1), "limite de tempo negativo para o envio ao Zabbix"},
      {65535, ms(0), ms(0), ""},
      {1, ms(0), ms(0), ""},
  };
  for (const auto& row : rows) {
    const std::string expected = row.message.empty()
                                     ? std::string(kNoFailure)
                                     : "dados inválidos / envio ao Zabbix / " + row.message;
    EXPECT_EQ(testing::failure_of<Failure>([&] {
                ZabbixSender({{"h", row.port}}, row.connect, row.reply);
              }),
              expected);
  }
  EXPECT_EQ(testing::failure_of<Failure>([] { ZabbixSender({}); }),
            "dados inválidos / envio ao Zabbix / nenhum servidor Zabbix para o envio");
}

TEST(ZabbixSender, DeliversToATrapper) {
  Trapper trapper;
  ZabbixSender zbx({{"127.0.0.1", trapper.port()}}, ms(1000), ms(1000));
  SendResult r = zbx.send(one(61.3));
  EXPECT_EQ(r.response, "success");
  EXPECT_EQ(r.processed, 1);
  auto requests = trapper.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].raw, encode_request(one(61.3)));
  EXPECT_EQ(requests[0].request, "sender data");
  ASSERT_EQ(requests[0].data.size(), 1u);
  EXPECT_EQ(requests[0].data[0].host, "dns-lab");
  EXPECT_EQ(requests[0].data[0].key, "contDns[192.0.2.10]");
  EXPECT_EQ(requests[0].data[0].value, "61.3");
}

TEST(ZabbixSender, DescribesEveryBrokenExchange) {
  const std::size_t whole = kFrameHeaderSize + kSuccessBody.size();
  const std::size_t half = kFrameHeaderSize + kSuccessBody.size() / 2;
  const std::pair<TrapperBehaviour, std::string> rows[] = {
      {TrapperBehaviour::failed,
       "servidor respondeu \"failed\" (info: \"processed: 0; failed: 1; total: 1; seconds spent: "
       "0.000012\")"},
      {TrapperBehaviour::close, "conexão encerrada sem resposta"},
      {TrapperBehaviour::close_mid_header, "conexão encerrada no meio da resposta (5 de 13 bytes)"},
      {TrapperBehaviour::close_mid_body, "conexão encerrada no meio da resposta (" +
                                             std::to_string(half) + " de " + std::to_string(whole) +
                                             " bytes)"},
      {TrapperBehaviour::bad_magic, "resposta inválida: cabeçalho sem \"ZBXD\""},
      {TrapperBehaviour::too_long,
       "resposta inválida: tamanho anunciado de 2097152 bytes, acima do limite de 1048576"},
      {TrapperBehaviour::bad_json, "resposta inválida: corpo não é JSON válido"},
      {TrapperBehaviour::reset, "falha na recepção: Connection reset by peer"},
  };
  for (const auto& [behaviour, cause] : rows) {
    Trapper trapper(TrapperOptions::answering({behaviour}));
    ZabbixSender zbx({{"127.0.0.1", trapper.port()}}, ms(2000), ms(3000));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(failure_of([&] { zbx.send(one(std::int64_t{152})); }),
              "127.0.0.1:" + std::to_string(trapper.port()) + ": " + cause);
    // Refused as soon as the fault shows, not at the end of the reply bound.
    EXPECT_LT(std::chrono::steady_clock::now() - start, ms(2000)) << cause;
    EXPECT_EQ(trapper.requests().size(), 1u) << cause;
  }
}

TEST(ZabbixSender, ASlowReplyWithinTheBoundArrives) {
  Trapper trapper(TrapperOptions::dripping(8, ms(40)));
  ZabbixSender zbx({{"127.0.0.1", trapper.port()}}, ms(1000), ms(2000));
  EXPECT_EQ(zbx.send(one(std::int64_t{1})).processed, 1);
}

TEST(ZabbixSender, TheReplyBoundCoversTheWholeReply) {
  // Every piece comes well within the bound, the whole reply does not.
  Trapper trapper(TrapperOptions::dripping(10, ms(80)));
  ZabbixSender zbx({{"127.0.0.1", trapper.port()}}, ms(1000), ms(300));
  auto start = std::chrono::steady_clock::now();
  std::string got = failure_of([&] { zbx.send(one(std::int64_t{1})); });
  EXPECT_LT(std::chrono::steady_clock::now() - start, ms(800));
  std::string prefix =
      "127.0.0.1:" + std::to_string(trapper.port()) + ": resposta incompleta em 300 ms (";
  EXPECT_EQ(got.substr(0, prefix.size()), prefix) << got;
}

TEST(ZabbixSender, AFullListenQueueFailsTheConnectWithinTheBound) {
  int port = 0;
  const Fd listener = testing::idle_loopback_listener(0, port);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  socklen_t len = sizeof addr;
  std::vector<Fd> fillers;
  for (int i = 0; i < 4; ++i) {
    fillers.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    ::connect(fillers.back().get(), reinterpret_cast<sockaddr*>(&addr), len);
  }
  std::this_thread::sleep_for(ms(50));

  ZabbixSender zbx({{"127.0.0.1", port}}, ms(250), ms(1000));
  auto start = std::chrono::steady_clock::now();
  std::string got = failure_of([&] { zbx.send(one(std::int64_t{1})); });
  auto took = std::chrono::steady_clock::now() - start;
  if (got.find("conexão falhou") != std::string::npos) {
    GTEST_SKIP() << "this kernel refuses instead of dropping: " << got;
  }
  EXPECT_EQ(got, "127.0.0.1:" + std::to_string(port) + ": tempo esgotado na conexão (250 ms)");
  EXPECT_GE(took, ms(250));
  EXPECT_LT(took, ms(1000));
}

TEST(ZabbixSender, ReachesAnIpv6Trapper) {
  std::optional<Trapper> trapper;
  try {
    TrapperOptions options;
    options.address = "::1";
    trapper.emplace(options);
  } catch (const std::runtime_error& e) {
    GTEST_SKIP() << "no IPv6 loopback here: " << e.what();
  }
  ZabbixSender zbx({{"::1", trapper->port()}}, ms(1000), ms(1000));
  EXPECT_EQ(zbx.send(one(std::int64_t{1})).response, "success");
  EXPECT_EQ(trapper->requests().size(), 1u);

  trapper.reset();
  int port = testing::closed_loopback_port();
  ZabbixSender gone({{"::1", port}}, ms(1000), ms(1000));
  EXPECT_EQ(failure_of([&] { gone.send(one(std::int64_t{1})); }),
            "[::1]:" + std::to_string(port) + ": conexão falhou: Connection refused");
}

TEST(ZabbixSender, TriesEveryAddressOfAName) {
  // "localhost" may stand for ::1 and 127.0.0.1; a trapper on one of them is
  // found whichever comes first.
  Trapper trapper;
  ZabbixSender zbx({{"localhost", trapper.port()}}, ms(1000), ms(1000));
  EXPECT_EQ(zbx.send(one(std::int64_t{1})).response, "success");

  // Refusals by several addresses are listed together.
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  ASSERT_EQ(::getaddrinfo("localhost", "1", &hints, &found), 0);
  int count = 0;
  for (addrinfo* ai = found; ai; ai = ai->ai_next)
    ++count;
  ::freeaddrinfo(found);
  int port = testing::closed_loopback_port();
  std::string got = failure_of([&] {
    ZabbixSender({{"localhost", port}}, ms(1000), ms(1000)).send(one(1.0));
  });
  std::string refused = std::to_string(port) + ": conexão falhou: Connection refused";
  std::size_t listed = 0;
  for (std::size_t at = got.find(refused); at != std::string::npos; at = got.find(refused, at + 1))
    ++listed;
  EXPECT_EQ(listed, static_cast<std::size_t>(count)) << got;
}

TEST(ZabbixSender, ANameThatDoesNotResolveFails) {
  std::string got = failure_of([] {
    ZabbixSender({{"zbx.invalid", 10052}}, ms(1000), ms(1000)).send(one(std::int64_t{1}));
  });
  EXPECT_TRUE(got == "zbx.invalid: resolução do nome falhou: Name or service not known" ||
              got == "zbx.invalid: resolução do nome falhou: Temporary failure in name resolution")
      << got;
}

TEST(ZabbixSender, LeavesNoDescriptorBehind) {
  std::size_t before = open_descriptors();
  {
    Trapper trapper(TrapperOptions::answering({
        TrapperBehaviour::success,
        TrapperBehaviour::failed,
        TrapperBehaviour::close,
        TrapperBehaviour::close_mid_body,
        TrapperBehaviour::bad_magic,
        TrapperBehaviour::too_long,
        TrapperBehaviour::bad_json,
        TrapperBehaviour::silent,
        TrapperBehaviour::reset,
    }));
    ZabbixSender zbx({{"127.0.0.1", trapper.port()}}, ms(1000), ms(100));
    ZabbixSender refused({{"127.0.0.1", testing::closed_loopback_port()}}, ms(1000), ms(100));
    int delivered = 0;
    for (int i = 0; i < 30; ++i) {
      try {
        zbx.send(one(std::int64_t{i}));
        ++delivered;
      } catch (const ExchangeError&) {
      }
      EXPECT_THROW(refused.send(one(std::int64_t{i})), ExchangeError);
    }
    EXPECT_EQ(delivered, 1);
  }
  EXPECT_EQ(open_descriptors(), before);
}

void on_usr1(int) {}

TEST(ZabbixSender, InterruptedCallsResume) {
  // Signals with a handler installed without SA_RESTART break off poll, recv
  // and send with EINTR; none of that may fail the exchange.
  struct sigaction action {};
  action.sa_handler = on_usr1;
  struct sigaction previous {};
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
  Trapper trapper(TrapperOptions::dripping(10, ms(20)));
  std::atomic<bool> done = false;
  pthread_t self = ::pthread_self();
  std::thread nagger([&] {
    while (!done) {
      ::pthread_kill(self, SIGUSR1);
      std::this_thread::sleep_for(ms(1));
    }
  });
  ZabbixSender zbx({{"127.0.0.1", trapper.port()}}, ms(1000), ms(2000));
  std::string got;
  for (int i = 0; i < 3 && got.empty(); ++i) {
    got = failure_of([&] { zbx.send(one(std::int64_t{1})); });
    if (got == kNoFailure) got.clear();
  }
  done = true;
  nagger.join();
  ::sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_EQ(got, "");
}

// The nodes of an HA cluster: a closed port at first, then a trapper there.
TEST(ZabbixSender, NodesAreTriedFromTheOneThatTookTheLastConnection) {
  const int first = testing::closed_loopback_port();
  std::optional<Trapper> second(std::in_place);
  const int second_port = second->port();
  ZabbixSender zbx({{"127.0.0.1", first}, {"127.0.0.1", second_port}}, ms(1000), ms(1000));
  EXPECT_EQ(zbx.send(one(std::int64_t{1})).response, "success");
  EXPECT_EQ(second->requests().size(), 1u);

  TrapperOptions options;
  options.port = first;
  std::optional<Trapper> now_up(std::in_place, options);
  EXPECT_EQ(zbx.send(one(std::int64_t{2})).response, "success");
  EXPECT_EQ(second->requests().size(), 2u);
  EXPECT_EQ(now_up->connections(), 0);

  second.reset();
  EXPECT_EQ(zbx.send(one(std::int64_t{3})).response, "success");
  EXPECT_EQ(zbx.send(one(std::int64_t{4})).response, "success");
  EXPECT_EQ(now_up->requests().size(), 2u);

  // Every node down: each named, from the one that answered last.
  now_up.reset();
  EXPECT_EQ(failure_of([&] { zbx.send(one(std::int64_t{5})); }),
            "127.0.0.1:" + std::to_string(first) + ": conexão falhou: Connection refused; " +
                "127.0.0.1:" + std::to_string(second_port) +
                ": conexão falhou: Connection refused");
}

TEST(ZabbixSender, AKeptRedirectThatTakesNoConnectionIsForgotten) {
  std::optional<Trapper> target(std::in_place);
  TrapperOptions options = TrapperOptions::answering({TrapperBehaviour::redirect});
  options.redirect_address = "127.0.0.1:" + std::to_string(target->port());
  options.script.push_back(TrapperBehaviour::success);
  std::optional<Trapper> node(std::in_place, options);
  const int node_port = node->port();
  ZabbixSender zbx({{"127.0.0.1", node_port}}, ms(1000), ms(1000));
  EXPECT_EQ(zbx.send(one(std::int64_t{1})).response, "success");
  EXPECT_EQ(target->requests().size(), 1u);
  target.reset();
  // The same exchange goes on with the node; the address is tried no more.
  EXPECT_EQ(zbx.send(one(std::int64_t{2})).response, "success");
  EXPECT_EQ(node->requests().size(), 2u);
  node.reset();
  EXPECT_EQ(failure_of([&] { zbx.send(one(std::int64_t{3})); }),
            "127.0.0.1:" + std::to_string(node_port) + ": conexão falhou: Connection refused");
}

// Three trappers, A, B and C, each with its script and the target and
// revision of the redirects it gives; a run's sender whose nodes are some of
// them. Which trapper took each request, and what each exchange raised.
TEST(ZabbixSender, FollowsRedirectsAsAProxyGroupGivesThem) {
  using B = TrapperBehaviour;
  struct Side {
    std::vector<B> script = {B::success};
    std::string to;  // a letter: that trapper; "-": a closed port; otherwise as it is
    std::uint64_t revision = 1;
  };
  struct Row {
    std::string label;
    std::string nodes;  // letters, "-" for a closed port
    Side a, b, c;
    std::vector<std::string> sends;  // "ok" or the failure, {A} ... {-} for the addresses
    std::string route;               // the trappers each exchange reached, "|" between
  };
  const Row rows[] = {
      {"followed at once, and straight there afterwards",
       "A",
       {{B::redirect}, "B"},
       {},
       {},
       {"ok", "ok", "ok"},
       "AB|B|B"},
      {"from the second node, which answers",
       "-A",
       {{B::redirect}, "B"},
       {},
       {},
       {"ok", "ok"},
       "AB|B"},
      {"a lower revision is a failed reply",
       "A",
       {{B::redirect}, "B", 5},
       {{B::success, B::redirect, B::success}, "C", 4},
       {},
       {"ok",
        "{B}: servidor respondeu \"failed\" (redirecionamento de revisão 4 para \"{C}\" ignorado: "
        "o de revisão 5 já foi seguido)",
        "ok"},
       "AB|B|B"},
      {"the same revision is followed",
       "A",
       {{B::redirect}, "B", 5},
       {{B::success, B::redirect}, "C", 5},
       {},
       {"ok", "ok", "ok"},
       "AB|BC|C"},
      {"reset: back to the nodes, in the same exchange",
       "A",
       {{B::redirect, B::success}, "B"},
       {{B::success, B::redirect_reset}, ""},
       {},
       {"ok", "ok", "ok"},
       "AB|BA|A"},
      {"reset from a node: the next node",
       "AB",
       {{B::redirect_reset}, ""},
       {},
       {},
       {"ok", "ok"},
       "AB|B"},
      {"a second redirect in one exchange",
       "A",
       {{B::redirect}, "B"},
       {{B::redirect, B::success}, "C"},
       {},
       {"{B}: segundo redirecionamento na mesma tentativa, para \"{C}\": não seguido", "ok"},
       "AB|B"},
      {"an address that takes no connection is forgotten",
       "A",
       {{B::redirect, B::success}, "-"},
       {},
       {},
       {"{A}: redirecionou para \"{-}\"; {-}: conexão falhou: Connection refused", "ok"},
       "A|A"},
      {"an address that cannot be read",
       "A",
       {{B::redirect}, "127.0.0.1:0"},
       {},
       {},
       {"{A}: endereço de redirecionamento \"127.0.0.1:0\" inválido: tem a porta \"0\" inválida; "
        "use "
        "um número de 1 a 65535"},
       "A"},
      {"a failure once the request is out ends the exchange",
       "AB",
       {{B::close}, ""},
       {},
       {},
       {"{A}: conexão encerrada sem resposta"},
       "A"},
  };
  const int closed = testing::closed_loopback_port();
  for (const Row& row : rows) {
    std::mutex mutex;
    std::string route;
    std::map<char, std::unique_ptr<Trapper>> trappers;
    std::map<std::string, std::string> addresses = {{"{-}", "127.0.0.1:" + std::to_string(closed)}};
    // C first, so that each trapper knows the port of the one it sends to.
    for (const auto& [name, side] : {std::pair{'C', row.c}, {'B', row.b}, {'A', row.a}}) {
      TrapperOptions options = TrapperOptions::answering(side.script);
      options.redirect_revision = side.revision;
      options.redirect_address = side.to;
      if (side.to == "-") options.redirect_address = addresses["{-}"];
      if (side.to.size() == 1 && trappers.count(side.to[0])) {
        options.redirect_address = addresses["{" + side.to + "}"];
      }
      options.on_request = [&, name = name](const TrapperRequest&) {
        std::lock_guard lock(mutex);
        route += name;
      };
      trappers[name] = std::make_unique<Trapper>(options);
      addresses["{" + std::string(1, name) + "}"] =
          "127.0.0.1:" + std::to_string(trappers[name]->port());
    }
    std::vector<ServerNode> nodes;
    for (char n : row.nodes) {
      nodes.push_back({"127.0.0.1", n == '-' ? closed : trappers[n]->port()});
    }
    ZabbixSender zbx(nodes, ms(1000), ms(1000));
    for (std::size_t i = 0; i < row.sends.size(); ++i) {
      std::string expected = row.sends[i] == "ok" ? std::string(kNoFailure) : row.sends[i];
      for (const auto& [mark, address] : addresses) {
        for (auto at = expected.find(mark); at != std::string::npos; at = expected.find(mark))
          expected.replace(at, mark.size(), address);
      }
      EXPECT_EQ(failure_of([&] { zbx.send(one(static_cast<std::int64_t>(i))); }), expected)
          << row.label << ", exchange " << i + 1;
      std::lock_guard lock(mutex);
      if (i + 1 < row.sends.size()) route += '|';
    }
    std::lock_guard lock(mutex);
    EXPECT_EQ(route, row.route) << row.label;
  }
}

// Binding to SourceIP itself: Collection.ClusterNodesAndRedirectsLeaveTheConsoleAsItIs.
TEST(ZabbixSender, SaysWhyTheSourceAddressCannotBeUsed) {
  Trapper trapper;
  const std::pair<std::string, std::string> rows[] = {
      {"::1", "[::1]:{P}: endereço IPv6, mas o endereço de origem 127.0.0.2 (SourceIP) é IPv4"},
      {"127.0.0.1",
       "127.0.0.1:{P}: não foi possível usar o endereço de origem 192.0.2.99 "
       "(SourceIP): Cannot assign requested address"},
  };
  for (const auto& [host, expected] : rows) {
    const std::string source = host == "::1" ? "127.0.0.2" : "192.0.2.99";
    ZabbixSender from({{host, trapper.port()}}, ms(1000), ms(1000), nullptr,
                      source_address(source));
    std::string cause = expected;
    cause.replace(cause.find("{P}"), 3, std::to_string(trapper.port()));
    EXPECT_EQ(failure_of([&] { from.send(one(std::int64_t{1})); }), cause);
  }
  EXPECT_EQ(trapper.connections(), 0);
}

// Runs the real zabbix_sender on `metric`; returns its exit status and output.
// A value with a clock goes through an input file with --with-timestamps
// --with-ns, the only way the sender takes a value's own clock.
std::pair<int, std::string> run_zabbix_sender(int port, const ZabbixMetric& metric) {
  auto quote = [](const std::string& s) {
    std::string q = "'";
    for (char c : s)
      q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
  };
  std::string command = "/usr/bin/zabbix_sender -z 127.0.0.1 -p " + std::to_string(port);
  testing::ScratchDir dir;
  if (metric.clock) {
    // The input file's quoting: in double quotes, with \" and \\ escaped.
    auto field = [](const std::string& s) {
      std::string q = "\"";
      for (char c : s) {
        if (c == '"' || c == '\\') q += '\\';
        q += c;
      }
      return q + "\"";
    };
    const auto input = dir.write("input", field(metric.host) + " " + field(metric.key) + " " +
                                              std::to_string(metric.clock->clock) + " " +
                                              std::to_string(metric.clock->ns) + " " +
                                              field(value_text(metric.value)) + "\n");
    command += " -T -N -i " + quote(input.string());
  } else {
    command += " -s " + quote(metric.host) + " -k " + quote(metric.key) + " -o " +
               quote(value_text(metric.value));
  }
  command += " 2>&1";
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return {-1, "popen failed"};
  char buf[512];
  while (std::size_t n = std::fread(buf, 1, sizeof buf, pipe))
    output.append(buf, n);
  int status = ::pclose(pipe);
  return {ExitStatus::from_wait_status(status).code, output};
}

// The meaning of a request: its header's length checked, its body as JSON
// without the request-level "clock" and "ns" that the stock sender adds from
// some releases on (its own send time).
nlohmann::json meaning_of(const std::string& raw) {
  if (raw.size() < kFrameHeaderSize || raw.compare(0, 5, "ZBXD\x01") != 0) return "bad header";
  std::uint32_t length = 0;
  for (int i = 0; i < 4; ++i)
    length |= static_cast<std::uint32_t>(static_cast<unsigned char>(raw[5 + i])) << (8 * i);
  if (length != raw.size() - kFrameHeaderSize) return "bad length";
  nlohmann::json body = nlohmann::json::parse(raw.substr(kFrameHeaderSize), nullptr, false);
  if (body.is_object()) {
    body.erase("clock");
    body.erase("ns");
  }
  return body;
}

TEST(RealZabbixSender, TalksToTheTrapperAndSendsWhatWeSend) {
  if (::access("/usr/bin/zabbix_sender", X_OK) != 0) {
    GTEST_SKIP() << "/usr/bin/zabbix_sender is not installed "
                    "(package zabbix-agent on Debian 12, zabbix-sender on 13)";
  }
  const ValueClock clock{1765000000, 123456789};
  const ZabbixMetric rows[] = {
      {"dns-lab", "contDns[192.0.2.10]", std::int64_t{152}},
      {"dns-lab", "percentDns[2001:db8::1]", 16.1},
      {"dns lab é", "descobertaDns",
       std::string(R"({"data": [{"{#SOURCE}": "192.0.2.10", "{#CONTAGEM}": 152, )"
                   R"("{#PERCENTUAL}": 61.3}]})")},
      {"dns-lab", "contDns[192.0.2.10]", std::int64_t{152}, clock},
      {"dns lab é", "descobertaDns", std::string(R"({"data": [{"{#SOURCE}": "a\\b"}]})"), clock},
  };
  for (const auto& metric : rows) {
    Trapper trapper;
    auto [status, output] = run_zabbix_sender(trapper.port(), metric);
    // zabbix_sender understood the trapper's reply.
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("processed: 1; failed: 0"), std::string::npos) << output;
    auto requests = trapper.requests();
    ASSERT_EQ(requests.size(), 1u) << output;
    EXPECT_EQ(meaning_of(requests[0].raw), meaning_of(encode_request({metric}))) << metric.key;
    ASSERT_EQ(requests[0].data.size(), 1u);
    EXPECT_EQ(requests[0].data[0].value, value_text(metric.value));
    EXPECT_EQ(requests[0].data[0].clock.has_value(), metric.clock.has_value());
  }
}

// Replies a hostile or broken server might send: nothing in them may crash the
// run or reach the console as a control sequence.
TEST(DecodeReply, ServerTextCannotCrashOrSteerTheConsole) {
  const std::size_t deep = kMaxReplyLength / 2 - 8;  // nested arrays filling the bound
  const std::pair<std::string, std::string> rows[] = {
      {frame(R"({"response":[1,2]})"), "servidor respondeu \"[...]\""},
      {frame(R"({"response":{"a":"b"}})"), "servidor respondeu \"{...}\""},
      {frame("{\"response\":" + std::string(deep, '[') + std::string(deep, ']') + "}"),
       "servidor respondeu \"[...]\""},
      {frame(R"({"response":null})"), "servidor respondeu \"null\""},
      {frame(R"({"response":"fail\u009b31m","info":"a\u0085b\u009fc"})"),
       "servidor respondeu \"fail?31m\" (info: \"a?b?c\")"},
      {frame(R"({"response":"falhou \u00a0\u00e9"})"),
       "servidor respondeu \"falhou \u00a0\u00e9\""},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(failure_of([&] { decode_reply(row.first); }), row.second);
  }
}

}  // namespace
}  // namespace quillet
