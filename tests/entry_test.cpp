#include "entry.h"

#include <gtest/gtest.h>

#include <streambuf>

#include "config.h"
#include "failure.h"
#include "test_context.h"

namespace quillet {
namespace {

using testing::TestContext;

// Records which mode the entry started, with its argument and the settings;
// the mode then does `then` and returns its status.
struct ModeLog {
  std::vector<std::string> calls;
  Settings seen;

  Modes modes(std::function<int()> then = [] { return 0; }) {
    auto record = [this, then](const std::string& name, const std::string& arg, Context& ctx) {
      calls.push_back(name + "(" + arg + ")");
      seen = ctx.settings;
      return then();
    };
    return Modes{
        .coletarDns = [=](const std::string& c,
                          Context& ctx) { return record("coletarDns", c, ctx); },
        .launch = [=](const std::string& m, Context& ctx) { return record("launch", m, ctx); },
    };
  }
};

std::vector<std::string> cmd(std::initializer_list<std::string> args) {
  std::vector<std::string> v{"./quillet"};
  v.insert(v.end(), args);
  return v;
}

// Runs the entry on `command_line`.
int run_on(const std::vector<std::string>& command_line, TestContext& t, const Modes& modes) {
  t.ctx.command_line = command_line;
  return run(t.ctx, modes);
}

TEST(Entry, ArgumentCountsFillTheSettings) {
  struct Row {
    std::vector<std::string> command_line;
    std::optional<std::string> caminho, server, host;
  };
  const Row rows[] = {
      {cmd({"coletarDns", "/p", "S"}), "/p", "S", "S"},
      {cmd({"coletarDns", "/p", "S", "H"}), "/p", "S", "H"},
      {cmd({"coletarDns", "/p", "S", "X", "Y", "H"}), "/p", "S", "H"},
      {cmd({"launch_coletarDns", "/p", "S", "H"}), "/p", "S", "H"},
      {cmd({"launch_"}), std::nullopt, std::nullopt, std::nullopt},
  };
  for (const auto& row : rows) {
    TestContext t;
    ModeLog log;
    EXPECT_EQ(run_on(row.command_line, t, log.modes()), 0);
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(log.seen.mode, row.command_line[1]);
    EXPECT_EQ(log.seen.caminho, row.caminho);
    EXPECT_EQ(log.seen.zabbix_server, row.server);
    EXPECT_EQ(log.seen.zabbix_host, row.host);
    EXPECT_EQ(t.out.str(), "");
    EXPECT_EQ(t.err.str(), "");
  }
}

TEST(Entry, DispatchTestsEqualityThenLaunchMarker) {
  struct Row {
    std::string mode;
    std::string call;  // empty: unrecognised
  };
  const Row rows[] = {
      {"coletarDns", "coletarDns(/p)"},
      {"launch_coletarDns", "launch(launch_coletarDns)"},
      {"xlaunch_", "launch(xlaunch_)"},
      {"a_launch_b", "launch(a_launch_b)"},
      {"launch_", "launch(launch_)"},
      {"launch", ""},
      {"Launch_coletarDns", ""},
      {"coletardns", ""},
      {"ColetarDns", ""},
      {"coletarDns ", ""},
      {" coletarDns", ""},
      {"coletarDnsX", ""},
      {"", ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE("mode \"" + row.mode + "\"");
    TestContext t;
    ModeLog log;
    int status = run_on(cmd({row.mode, "/p", "S", "H"}), t, log.modes());
    if (row.call.empty()) {
      EXPECT_EQ(status, 1);
      EXPECT_TRUE(log.calls.empty());
      EXPECT_EQ(t.out.str(), "Modo de execução não ecnontrado.\n");
    } else {
      EXPECT_EQ(status, 0);
      EXPECT_EQ(log.calls, std::vector<std::string>{row.call});
      EXPECT_EQ(t.out.str(), "");
    }
    EXPECT_EQ(t.err.str(), "");
  }
}

TEST(Entry, MissingArgumentsEndTheRunBeforeAnyMode) {
  const char* no_first =
      "quillet: falha não tratada (argumento ausente) na etapa \"leitura da linha de comando\": "
      "o primeiro argumento (modo de execução) não foi passado\n";
  const char* no_third =
      "quillet: falha não tratada (argumento ausente) na etapa \"leitura da linha de comando\": "
      "o terceiro argumento (servidor Zabbix) não foi passado\n";
  struct Row {
    std::vector<std::string> command_line;
    const char* report;
  };
  const Row rows[] = {
      {cmd({}), no_first},
      {{}, no_first},
      {cmd({"coletarDns", "/p"}), no_third},
      {cmd({"launch_coletarDns", "/p"}), no_third},
      {cmd({"nada", "/p"}), no_third},
  };
  for (const auto& row : rows) {
    TestContext t;
    ModeLog log;
    EXPECT_EQ(run_on(row.command_line, t, log.modes()), 1);
    EXPECT_TRUE(log.calls.empty());
    EXPECT_EQ(t.out.str(), "");
    EXPECT_EQ(t.err.str(), row.report);
  }
}

TEST(Entry, CollectionWithoutPathNamesTheSetting) {
  TestContext t;
  ModeLog log;
  EXPECT_EQ(run_on(cmd({"coletarDns"}), t, log.modes()), 1);
  EXPECT_TRUE(log.calls.empty());
  EXPECT_EQ(t.out.str(), "");
  EXPECT_EQ(t.err.str(),
            "quillet: falha não tratada (configuração não definida) na etapa \"despacho do modo "
            "coletarDns\": a configuração caminho não está definida: coletarDns precisa do "
            "caminho, do servidor Zabbix e do host\n");
}

TEST(Entry, HowAModeEndsBecomesTheStatus) {
  struct Row {
    std::function<int()> mode_does;
    int status;
    std::string err;
  };
  const Row rows[] = {
      {[] { return 0; }, 0, ""},
      {[] { return 1; }, 1, ""},
      {[] { return 7; }, 7, ""},
      {[]() -> int { throw Failure("erro de leitura", "análise do relatório", "sem acesso"); }, 1,
       "quillet: falha não tratada (erro de leitura) na etapa \"análise do relatório\": "
       "sem acesso\n"},
      {[]() -> int {
         throw ConfigError("/etc/quillet/quillet.conf", 3, "chave desconhecida \"X\"");
       },
       1, "quillet: /etc/quillet/quillet.conf:3: chave desconhecida \"X\"\n"},
      {[]() -> int { throw std::out_of_range("fora"); }, 1,
       "quillet: falha não tratada (std::out_of_range) na etapa \"modo coletarDns\": fora\n"},
      {[]() -> int { throw 42; }, 1,
       "quillet: falha não tratada (exceção desconhecida) na etapa \"modo coletarDns\": sem "
       "descrição\n"},
  };
  for (const auto& row : rows) {
    TestContext t;
    ModeLog log;
    EXPECT_EQ(run_on(cmd({"coletarDns", "/p", "S", "H"}), t, log.modes(row.mode_does)), row.status);
    EXPECT_EQ(t.err.str(), row.err);
  }
}

// A stream buffer that refuses every write, like a full disk.
class FailingBuf : public std::streambuf {
 protected:
  int_type overflow(int_type) override { return traits_type::eof(); }
  std::streamsize xsputn(const char*, std::streamsize) override { return 0; }
};

TEST(Entry, UnwritableOutputTurnsSuccessIntoStatus2ButKeepsAFailureStatus) {
  FailingBuf failing;
  std::ostream broken(&failing);
  struct Row {
    std::string mode;
    int status;
    std::string err;
  };
  const Row rows[] = {
      {"coletarDns", 2, "quillet: não foi possível gravar a saída padrão no fim da execução\n"},
      {"nada", 1, ""},
  };
  for (const auto& row : rows) {
    TestContext t(broken);
    ModeLog log;
    broken.clear();
    auto modes = log.modes([&] {
      println(broken, "linha");
      return 0;
    });
    EXPECT_EQ(run_on(cmd({row.mode, "/p", "S", "H"}), t, modes), row.status) << row.mode;
    EXPECT_EQ(t.err.str(), row.err) << row.mode;
  }
}

TEST(Entry, LaunchCommandLineKeepsTheWordsAfterTheMode) {
  struct Row {
    std::string mode;
    std::vector<std::string> command_line, child;
  };
  const Row rows[] = {
      {"launch_coletarDns",
       {"./quillet", "launch_coletarDns", "/p", "S", "H"},
       {"./quillet", "coletarDns", "/p", "S", "H"}},
      {"xlaunch_ylaunch_coletarDns",
       {"quillet", "xlaunch_ylaunch_coletarDns", "a", "b", "c", "d", "e"},
       {"quillet", "coletarDns", "a", "b", "c", "d", "e"}},
      {"launch_", {"/usr/bin/quillet", "launch_"}, {"/usr/bin/quillet", ""}},
      {"launch_ coletar", {"q", "launch_ coletar", " x "}, {"q", " coletar", " x "}},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(launch_command_line(row.mode, row.command_line), row.child);
  }
}

}  // namespace
}  // namespace quillet
