#include "buffer_run.h"

#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "failure_of.h"
#include "nodes.h"
#include "scratch.h"
#include "test_context.h"
#include "trapper.h"

namespace quillet {
namespace {

using B = testing::TrapperBehaviour;
using testing::failure_of;
using testing::kTestClock;
using testing::ScratchDir;
using testing::TestContext;
using testing::Trapper;
using testing::TrapperOptions;

// `n` values of dns-lab announced long before, clocks out of order.
std::vector<ZabbixMetric> backlog(std::size_t n, std::string host = "dns-lab") {
  std::vector<ZabbixMetric> values;
  for (std::size_t i = 0; i < n; ++i) {
    const auto clock = kTestClock - 600 + static_cast<std::int64_t>((i * 7) % n);
    values.push_back({host, "contDns[192.0.2." + std::to_string(i % 200) + "]",
                      static_cast<std::int64_t>(i), ValueClock{clock, 0}});
  }
  return values;
}

// The buffer of runs of dns-lab in a scratch working directory, without the
// capture: each run reads it, then drains it to a trapper.
class Drain : public ::testing::Test {
 protected:
  void SetUp() override {
    config.persistent_buffer = true;
    t.ctx.delivery.buffer_lock_wait = std::chrono::milliseconds(1000);
  }

  // A run that reads the buffer, announces `listed` when given and drains to
  // `port`; returns whether it failed.
  bool run(int port, const std::vector<SourceRecord>& listed = {}) {
    BufferRun buffer(config, capture, t.ctx, "dns-lab", t.now);
    buffer.clients({});
    if (!listed.empty()) buffer.announce(listed);
    DeliverySetup setup;
    setup.nodes = parse_server_nodes("127.0.0.1", port);
    setup.bounds.connect_timeout = setup.bounds.reply_timeout = std::chrono::milliseconds(1000);
    ZabbixSender zbx = setup.sender();
    buffer.drain(zbx);
    buffer.report();
    return buffer.failed();
  }
  std::string output() {
    std::string out = t.out.str();
    t.out.str("");
    return out;
  }
  std::size_t held() const { return file.read(t.now).values.size(); }

  ScratchDir dir;
  TestContext t;
  Configuration config;
  CaptureSetup capture = testing::capture_setup_in(dir.path());
  PersistentBuffer file{(dir.path() / "quillet.buffer").string(), std::chrono::hours(1)};
};

TEST_F(Drain, OldestFirstUntilTheFirstFailureAndRefusedRequestsGetMoreChances) {
  file.append(backlog(600), 1);
  {
    Trapper trapper(TrapperOptions::answering({B::success, B::failed}));
    EXPECT_TRUE(run(trapper.port()));
    EXPECT_EQ(
        output(),
        "\x1b[1;31mErro ao enviar para o Zabbix: 127.0.0.1:" + std::to_string(trapper.port()) +
            ": servidor respondeu \"failed\" (info: \"processed: 0; failed: 1; total: 1; "
            "seconds spent: 0.000012\")\x1b[0;0m\n[ERRO] Buffer persistente: envio de "
            "valores guardados falhou; restam 350 para a próxima coleta.\n[AVISO] Buffer "
            "persistente: 250 valores guardados entregues em 1 envios; restam 350.\n");
    const auto requests = trapper.requests();
    ASSERT_EQ(requests.size(), 2u);
    ASSERT_EQ(requests[0].data.size(), 250u);
    for (std::size_t i = 1; i < 250; ++i)
      EXPECT_LE(requests[0].data[i - 1].clock, requests[0].data[i].clock);
    EXPECT_LE(requests[0].data[249].clock, requests[1].data[0].clock);
    EXPECT_EQ(held(), 350u);
  }
  {
    // A refusal keeps its request's values for the next runs.
    Trapper trapper(TrapperOptions::answering({B::success, B::refused}));
    EXPECT_FALSE(run(trapper.port()));
    EXPECT_EQ(output(),
              "[AVISO] Buffer persistente: 350 valores guardados entregues em 2 envios; restam "
              "100.\n[AVISO] O Zabbix recusou 1 de 350 valores guardados; os 100 valores desses "
              "envios ficam no buffer para as próximas coletas.\n");
  }
  Trapper trapper;
  EXPECT_FALSE(run(trapper.port()));
  EXPECT_EQ(output(),
            "[AVISO] Buffer persistente: 100 valores guardados entregues em 1 envios; restam "
            "0.\n");
  EXPECT_EQ(held(), 0u);
}

TEST_F(Drain, OnlyTheRunsHostsAnnouncedValuesGoAndOneRunAtATime) {
  file.append(backlog(3, "stranger"), 1);
  file.append(backlog(2), 0);
  file.append(backlog(1), std::chrono::duration_cast<std::chrono::nanoseconds>(
                              (t.now + std::chrono::seconds(1)).time_since_epoch())
                              .count());
  Trapper trapper;
  // Listed by the run's discovery: they go with the next run.
  EXPECT_FALSE(run(trapper.port(), {{"192.0.2.1", 1, 1.0}}));
  EXPECT_EQ(output(),
            "[AVISO] Buffer persistente: 6 valores guardados aguardam as próximas coletas.\n");
  EXPECT_TRUE(trapper.requests().empty());
  {
    const std::optional<Fd> other = file.lock(std::chrono::seconds(0));
    t.now += std::chrono::seconds(60);
    EXPECT_FALSE(run(trapper.port()));
    EXPECT_TRUE(trapper.requests().empty());
  }
  EXPECT_TRUE(output().ends_with("; a coleta segue sem esperar por ele.\n"));
  EXPECT_FALSE(run(trapper.port()));
  EXPECT_EQ(output(),
            "[AVISO] Buffer persistente: 2 valores guardados entregues em 1 envios; restam 4.\n");
  const auto requests = trapper.requests();
  ASSERT_EQ(requests.size(), 1u);
  for (const auto& v : requests[0].data)
    EXPECT_EQ(v.host, "dns-lab");

  // A refused discovery may be a host disabled for a while: its values stay.
  BufferRun buffer(config, capture, t.ctx, "dns-lab", t.now);
  buffer.clients({});
  buffer.refused();
  EXPECT_EQ(output(),
            "[AVISO] Buffer persistente: 1 valores guardados do host \"dns-lab\" ficam no buffer "
            "até que o Zabbix aceite a descoberta ou até o fim do período de 1h.\n");
  EXPECT_EQ(held(), 4u);
}

TEST_F(Drain, ANonFiniteShareAndADamagedRecordCostOnlyThemselves) {
  std::vector<ZabbixMetric> kept = backlog(3);
  kept[1].value = std::nan("");
  {
    BufferRun buffer(config, capture, t.ctx, "dns-lab", t.now);
    buffer.clients({});
    buffer.keep(kept, "[ERRO] 3 de 3 envios ao Zabbix falharam", true);
  }
  EXPECT_EQ(output(),
            "[ERRO] 3 de 3 envios ao Zabbix falharam; 3 valores guardados no buffer persistente, "
            "que agora tem 3 valores.\n");
  std::filesystem::path path = dir.path() / "quillet.buffer";
  dir.write("quillet.buffer", testing::read_file(path) + "{\"values\":[{\"host\"\n");
  file.append(backlog(1), 1);
  t.now += std::chrono::seconds(60);
  Trapper trapper;
  EXPECT_TRUE(run(trapper.port()));
  EXPECT_EQ(output(), "[ERRO] Buffer persistente: 1 registros ilegíveis em " + path.string() +
                          " ignorados; os demais valores seguem.\n[AVISO] Buffer persistente: 4 "
                          "valores guardados entregues em 1 envios; restam 0.\n");
  ASSERT_EQ(trapper.requests().size(), 1u);
  EXPECT_EQ(trapper.requests()[0].data.size(), 4u);
  EXPECT_EQ(trapper.requests()[0].data[2].value, "NaN");
}

TEST_F(Drain, WhatCannotBeReadIsSaidAndTheFileLeftAsItIs) {
  file.append(backlog(2), 1);
  const std::string before = testing::read_file(dir.path() / "quillet.buffer");
  {
    // Out of descriptors: the lock cannot be opened, let alone the file.
    BufferRun buffer(config, capture, t.ctx, "dns-lab", t.now);
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    struct rlimit none = saved;
    none.rlim_cur = 0;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
    EXPECT_TRUE(buffer.clients({}).empty());
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_TRUE(buffer.failed());
  }
  EXPECT_EQ(output(), "[ERRO] Buffer persistente: não foi possível ler " +
                          (dir.path() / "quillet.buffer").string() + ": Too many open files.\n");
  EXPECT_EQ(testing::read_file(dir.path() / "quillet.buffer"), before);

  // A directory that others may write: refused before anything is read.
  std::filesystem::permissions(dir.path(), std::filesystem::perms::others_write,
                               std::filesystem::perm_options::add);
  config.file = "/etc/quillet/quillet.conf";
  EXPECT_EQ(failure_of<ConfigError>([&] { BufferRun(config, capture, t.ctx, "dns-lab", t.now); }),
            "/etc/quillet/quillet.conf: PersistentBufferFile: o diretório " + dir.path().string() +
                " tem permissões 0702, que permitem escrita por grupo ou outros; use chmod 700");
}

}  // namespace
}  // namespace quillet
