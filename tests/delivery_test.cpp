#include "delivery.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <thread>

#include "failure_of.h"
#include "test_context.h"
#include "trapper.h"

namespace quillet {
namespace {

using ms = std::chrono::milliseconds;
using testing::failure_of;
using testing::TestContext;
using testing::Trapper;
using testing::TrapperBehaviour;
using testing::TrapperOptions;

std::string red_line(const std::string& description) {
  return "\x1b[1;31mErro ao enviar para o Zabbix: " + description + "\x1b[0;0m\n";
}

std::string repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i)
    out += s;
  return out;
}

DeliverySetup quick_setup(int port) {
  return DeliverySetup{.nodes = {{"127.0.0.1", port}},
                       .tls = {},
                       .source = {},
                       .bounds = {.connect_timeout = ms(1000), .reply_timeout = ms(500)}};
}

// One delivery of the value through a client of its own, as the first of a run.
DeliveryOutcome deliver(const DeliverySetup& setup, const std::string& host, const std::string& key,
                        const MetricValue& value, TestContext& t) {
  ZabbixSender zbx = setup.sender();
  return send_zabbix(zbx, {host, key, value}, setup.bounds, t.out, t.ctx.pause);
}

TEST(RetryDelivery, FollowsTheScriptOfFailures) {
  struct Row {
    std::vector<std::optional<std::string>> script;  // a description: that attempt fails
    DeliveryOutcome outcome;
    int attempts;
    std::string console;
    std::optional<std::int64_t> failed = 0;  // the answer's "failed" figure
  };
  const std::optional<std::string> ok;
  const Row rows[] = {
      {{ok}, DeliveryOutcome::delivered, 1, ""},
      {{"a", "b: c", ok}, DeliveryOutcome::delivered, 3, red_line("a") + red_line("b: c")},
      {{"x", "x", "x", "x", "x", ok}, DeliveryOutcome::given_up, 5, repeat(red_line("x"), 5)},
      {{"", ok},
       DeliveryOutcome::delivered,
       2,
       "\x1b[1;31mErro ao enviar para o Zabbix: \x1b[0;0m\n"},
      // A refusal is an answer: no red line, no pause, no other attempt.
      {{ok}, DeliveryOutcome::refused, 1, "", 1},
      {{"a", ok}, DeliveryOutcome::refused, 2, red_line("a"), 3},
      {{ok}, DeliveryOutcome::delivered, 1, "", std::nullopt},
  };
  for (const auto& row : rows) {
    TestContext t;
    int calls = 0;
    std::vector<std::string> console_at_pause;
    auto attempt = [&] {
      const auto& step = row.script.at(static_cast<std::size_t>(calls++));
      if (step) throw ExchangeError(*step);
      SendResult answer;
      answer.failed = row.failed;
      return answer;
    };
    auto pause = [&](std::chrono::milliseconds d) {
      EXPECT_EQ(d, ms(5000));
      console_at_pause.push_back(t.out.str());
    };
    // The shipped bounds: five attempts, five-second pauses.
    EXPECT_EQ(retry_delivery(attempt, DeliveryBounds{}, t.out, pause), row.outcome);
    EXPECT_EQ(calls, row.attempts);
    EXPECT_EQ(t.out.str(), row.console);
    // Each failed attempt prints its line and then pauses, the last one too.
    int failures = row.outcome == DeliveryOutcome::given_up ? row.attempts : row.attempts - 1;
    ASSERT_EQ(console_at_pause.size(), static_cast<std::size_t>(failures));
    std::string printed;
    for (int i = 0; i < failures; ++i) {
      printed += red_line(*row.script[static_cast<std::size_t>(i)]);
      EXPECT_EQ(console_at_pause[static_cast<std::size_t>(i)], printed);
    }
  }
}

TEST(RetryDelivery, OtherFailuresPassThrough) {
  TestContext t;
  auto attempt = []() -> SendResult { throw std::runtime_error("not a delivery failure"); };
  EXPECT_THROW(retry_delivery(attempt, DeliveryBounds{}, t.out, t.ctx.pause), std::runtime_error);
  EXPECT_EQ(t.out.str(), "");
  EXPECT_TRUE(t.pauses.empty());
}

TEST(SendZabbix, DeliversEachKindOfValueAtOnce) {
  struct Row {
    std::string key;
    MetricValue value;
    std::string wire;
  };
  const Row rows[] = {
      {"descobertaDns", std::string(R"({"data": []})"), R"({"data": []})"},
      {"contDns[192.0.2.10]", std::int64_t{152}, "152"},
      {"percentDns[2001:db8::1]", 100.0, "100.0"},
  };
  Trapper trapper;
  for (const auto& row : rows) {
    TestContext t;
    EXPECT_EQ(deliver(quick_setup(trapper.port()), "dns-lab", row.key, row.value, t),
              DeliveryOutcome::delivered);
    EXPECT_EQ(t.out.str(), "");
    EXPECT_TRUE(t.pauses.empty());
    auto requests = trapper.requests();
    ASSERT_FALSE(requests.empty());
    ASSERT_EQ(requests.back().data.size(), 1u);
    EXPECT_EQ(requests.back().data[0].host, "dns-lab");
    EXPECT_EQ(requests.back().data[0].key, row.key);
    EXPECT_EQ(requests.back().data[0].value, row.wire);
  }
  EXPECT_EQ(trapper.connections(), 3);
}

TEST(SendZabbix, TwoFailuresThenSuccess) {
  Trapper trapper(TrapperOptions::answering(
      {TrapperBehaviour::failed, TrapperBehaviour::close, TrapperBehaviour::success}));
  TestContext t;
  std::string where = "127.0.0.1:" + std::to_string(trapper.port()) + ": ";
  EXPECT_EQ(
      deliver(quick_setup(trapper.port()), "dns-lab", "contDns[192.0.2.10]", std::int64_t{152}, t),
      DeliveryOutcome::delivered);
  EXPECT_EQ(
      t.out.str(),
      red_line(where + "servidor respondeu \"failed\" (info: \"processed: 0; failed: 1; total: 1; "
                       "seconds spent: 0.000012\")") +
          red_line(where + "conexão encerrada sem resposta"));
  EXPECT_EQ(t.pauses, (std::vector<ms>{ms(5000), ms(5000)}));
  auto requests = trapper.requests();
  ASSERT_EQ(requests.size(), 3u);
  // Every attempt sends the same request.
  EXPECT_EQ(requests[0].raw, requests[2].raw);
  EXPECT_EQ(requests[1].raw, requests[2].raw);
}

TEST(SendZabbix, NeverReachableGivesUpAfterFiveAttempts) {
  int port = testing::closed_loopback_port();
  TestContext t;
  EXPECT_EQ(deliver(quick_setup(port), "dns-lab", "descobertaDns", std::string("{}"), t),
            DeliveryOutcome::given_up);
  EXPECT_EQ(t.out.str(), repeat(red_line("127.0.0.1:" + std::to_string(port) +
                                         ": conexão falhou: Connection refused"),
                                5));
  EXPECT_EQ(t.pauses, std::vector<ms>(5, ms(5000)));
}

TEST(SendZabbix, ASilentServerCostsOneBoundPerAttempt) {
  Trapper trapper(TrapperOptions::answering({TrapperBehaviour::silent}));
  TestContext t;
  DeliverySetup setup = quick_setup(trapper.port());
  setup.bounds.attempts = 3;
  setup.bounds.reply_timeout = ms(100);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(deliver(setup, "h", "k", std::int64_t{1}, t), DeliveryOutcome::given_up);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, ms(300));
  EXPECT_LT(took, ms(1500));
  EXPECT_EQ(t.out.str(), repeat(red_line("127.0.0.1:" + std::to_string(trapper.port()) +
                                         ": sem resposta em 100 ms"),
                                3));
  EXPECT_EQ(trapper.connections(), 3);
}

TEST(SendZabbix, WhatCannotMakeARequestEndsTheRunBeforeAnyAttempt) {
  struct Row {
    std::string host;
    int port_offset;  // added to the trapper's port; large values leave the range
    std::string message;
  };
  Trapper trapper;
  const Row rows[] = {
      {"dns\xff", 0, "o nome do host não é texto UTF-8 válido"},
      {"dns-lab", 70000,
       "porta do Zabbix fora do intervalo 1-65535: " + std::to_string(trapper.port() + 70000)},
  };
  for (const auto& row : rows) {
    TestContext t;
    EXPECT_EQ(failure_of<Failure>([&] {
                deliver(quick_setup(trapper.port() + row.port_offset), row.host, "k",
                        std::int64_t{1}, t);
              }),
              "dados inválidos / envio ao Zabbix / " + row.message);
    EXPECT_EQ(t.out.str(), "");
    EXPECT_TRUE(t.pauses.empty());
  }
  EXPECT_EQ(trapper.connections(), 0);
}

TEST(SendZabbixDeathTest, AnInterruptEndsTheRunInsteadOfFailingTheAttempt) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto interrupted_delivery = [] {
    // The disposition the program runs with; a test runner may have left it ignored.
    ::signal(SIGINT, SIG_DFL);
    Trapper trapper(TrapperOptions::answering({TrapperBehaviour::silent}));
    DeliverySetup setup = quick_setup(trapper.port());
    setup.bounds.reply_timeout = ms(5000);
    std::thread interrupter([] {
      std::this_thread::sleep_for(ms(200));
      ::kill(::getpid(), SIGINT);
    });
    interrupter.detach();
    ZabbixSender zbx = setup.sender();
    send_zabbix(zbx, {"h", "k", std::int64_t{1}}, setup.bounds, std::cerr, sleep_pause);
    std::cerr << "returned\n";
    std::_Exit(0);
  };
  EXPECT_EXIT(interrupted_delivery(), ::testing::KilledBySignal(SIGINT), "^$");
}

TEST(SendZabbix, ManyDeliveriesInARowAllArrive) {
  Trapper trapper;
  std::vector<double> micros;
  for (int i = 0; i < 100; ++i) {
    TestContext t;
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(
        deliver(quick_setup(trapper.port()), "dns-lab", "contDns[192.0.2.10]", std::int64_t{i}, t),
        DeliveryOutcome::delivered);
    micros.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count());
  }
  auto requests = trapper.requests();
  ASSERT_EQ(requests.size(), 100u);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(requests[static_cast<std::size_t>(i)].data.at(0).value, std::to_string(i));
  }
  std::sort(micros.begin(), micros.end());
  std::cout << "[ timing ] one delivery to a local trapper: median " << micros[50] << " us, max "
            << micros.back() << " us\n";
}

}  // namespace
}  // namespace quillet
