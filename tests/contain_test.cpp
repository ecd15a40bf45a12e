#include "contain.h"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>

#include "fake_tools.h"
#include "scratch.h"

namespace quillet {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::RedirectedFd;
using testing::ScratchDir;

// The real container on stand-ins in a scratch directory the program's user
// can reach. As root only, with the shipped user.
class ContainerAsRoot : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0 || !::getpwnam(Containment().user.c_str()))
      GTEST_SKIP() << "needs root and the user " << Containment().user;
    testing::own_uid();
    fs::permissions(dir.path(), fs::perms::group_exec | fs::perms::others_exec,
                    fs::perm_options::add);
    input = dir.write("input", "the capture");
  }

  // Runs `body` as a /bin/sh script, its standard error into stderr_text().
  ContainedResult run(const std::string& body) {
    const fs::path program = dir.write("prog", "#!/bin/sh\n" + body + "\n");
    fs::permissions(program,
                    fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    RedirectedFd err(STDERR_FILENO, dir.path() / "stderr");
    return Container().run({program.string(), {"-x", "/dev/stdin"}, input, output()}, bounds);
  }
  std::string output() const { return (dir.path() / "output").string(); }
  std::string stderr_text() const { return read_file(dir.path() / "stderr"); }

  ScratchDir dir{QUILLET_TEST_VISIBLE_DIR};
  fs::path input;
  Containment bounds;
};

TEST_F(ContainerAsRoot, TheProgramHasNoRightAndSeesOnlyItsOwn) {
  const ContainedResult result =
      run("echo \"$@\"; id -u; id -G; id -un\n"
          "grep -E '^(Cap|NoNewPrivs)' /proc/self/status | tr -s '\\t' ' '\n"
          "echo pid $$ parent $PPID; ls /proc | grep -c '^[0-9]'\n"
          "tail -n +3 /proc/net/dev | cut -d: -f1 | tr -d ' '; ls /sys/class/net\n"
          "awk '$6 !~ /(^|,)ro(,|$)/ || $6 !~ /nosuid/' /proc/self/mountinfo | wc -l\n"
          "env | grep -v '^PWD='; cat /dev/stdin; echo; touch /tmp/x 2>&1 | sed 's/.*: //'\n"
          // Session and terminal of its own init; no device but a parser's.
          "cut -d' ' -f6,7 /proc/$$/stat; ls /dev | tr '\\n' ' '; echo\n"
          "find /run /tmp /var /dev/shm 2>&1 | tr '\\n' ' '");
  EXPECT_TRUE(result.success()) << result.describe();
  EXPECT_EQ(result.partial, "");
  const passwd* user = ::getpwnam(bounds.user.c_str());
  EXPECT_EQ(read_file(output()),
            "-x /dev/stdin\n" + std::to_string(user->pw_uid) + "\n" + std::to_string(user->pw_gid) +
                "\n_quillet\n" +
                "CapInh: 0000000000000000\nCapPrm: 0000000000000000\n"
                "CapEff: 0000000000000000\nCapBnd: 0000000000000000\n"
                "CapAmb: 0000000000000000\nNoNewPrivs: 1\n"
                // PID 2 under a PID 1 of its own; ls and grep are the others.
                "pid 2 parent 1\n4\n"
                "lo\nlo\n0\nPATH=/usr/bin:/bin\nthe capture\nRead-only file system\n"
                "1 0\nfd null stderr stdin stdout urandom zero \n"
                "/run /tmp /var find: '/dev/shm': No such file or directory ");
  EXPECT_EQ(stderr_text(), "");
  struct stat st {};
  ASSERT_EQ(::stat(output().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_uid, 0u);
}

TEST_F(ContainerAsRoot, EachBoundEndsItWithItsCause) {
  struct Row {
    std::string body;
    std::function<void(Containment&)> bound;
    std::string cause;
  };
  const Row rows[] = {
      // A child left behind dies with the program's namespace.
      {"sleep 30 & sleep 30", [](Containment& b) { b.deadline = std::chrono::milliseconds(300); },
       "excedeu o prazo de 300 ms e foi encerrado"},
      {"while :; do :; done", [](Containment& b) { b.cpu_seconds = 1; },
       "excedeu o limite de 1 s de processador (terminou pelo sinal 24 (CPU time limit "
       "exceeded))"},
      {"exec head -c 2000000 /dev/zero", [](Containment& b) { b.file_size = 1 << 20; },
       "excedeu o limite de 1 MiB de saída (terminou pelo sinal 25 (File size limit exceeded))"},
      // Signal ignored, writes failing: the output at the bound tells.
      {"trap '' XFSZ; exec head -c 2000000 /dev/zero",
       [](Containment& b) { b.file_size = 1 << 20; },
       "excedeu o limite de 1 MiB de saída (terminou com status 1)"},
      // The shell cannot start its fourth process of the user.
      {"sleep 1 & sleep 1 & sleep 1 & sleep 1 & wait", [](Containment& b) { b.processes = 3; },
       "terminou com status 2"},
  };
  for (const auto& row : rows) {
    bounds = Containment();
    row.bound(bounds);
    const auto started = std::chrono::steady_clock::now();
    const ContainedResult result = run(row.body);
    EXPECT_EQ(result.describe(), row.cause) << row.body;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20)) << row.body;
  }
  EXPECT_NE(stderr_text().find("Cannot fork"), std::string::npos) << stderr_text();
  EXPECT_EQ(::system("pgrep -u _quillet -f -x \"sleep 30\" >/dev/null"), 256)
      << "a process of the user was left";
}

TEST_F(ContainerAsRoot, StandardErrorIsRelayedUpToItsBound) {
  bounds.stderr_bytes = 10;
  EXPECT_TRUE(run("printf 0123456789abcdef >&2").success());
  EXPECT_EQ(stderr_text(), "0123456789\nquillet: saída de erro de " +
                               (dir.path() / "prog").string() +
                               " cortada após 10 bytes; 6 bytes omitidos\n");
}

TEST_F(ContainerAsRoot, WhatCannotStartIsNamed) {
  bounds.user = "_quillet-absent";
  EXPECT_EQ(run("exit 0").describe(),
            "não foi iniciado: o usuário _quillet-absent não existe (crie-o com systemd-sysusers "
            "/usr/lib/sysusers.d/quillet.conf)");
  bounds = Containment();
  input = dir.path() / "absent";
  EXPECT_EQ(run("exit 0").describe(), "não foi iniciado: não foi possível abrir " + input.string() +
                                          ": No such file or directory");
  // A capture that cannot be read is no capture, however it ends.
  input = dir.path();
  EXPECT_EQ(run("cat >/dev/null").describe(),
            "foi encerrado: não foi possível ler " + input.string() + ": Is a directory");
  testing::FakeTools tools(dir.path() / "bin");
  EXPECT_EQ(Container().run({"dnstop", {}, input, output()}, bounds).describe(),
            "não foi iniciado: dnstop não está no PATH");
}

// Sets the effective capabilities to `effective` until the end of the scope.
class EffectiveCapabilities {
 public:
  explicit EffectiveCapabilities(std::uint64_t effective) {
    ::syscall(SYS_capget, &header_, saved_);
    __user_cap_data_struct data[2] = {saved_[0], saved_[1]};
    data[0].effective = static_cast<std::uint32_t>(effective);
    data[1].effective = static_cast<std::uint32_t>(effective >> 32);
    ::syscall(SYS_capset, &header_, data);
  }
  ~EffectiveCapabilities() { ::syscall(SYS_capset, &header_, saved_); }
  EffectiveCapabilities(const EffectiveCapabilities&) = delete;
  EffectiveCapabilities& operator=(const EffectiveCapabilities&) = delete;

 private:
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct saved_[2]{};
};

// A root that cannot leave uid 0 runs nothing; the partial mode is for
// unprivileged users (tests/e2e/faults_capture.sh).
TEST_F(ContainerAsRoot, RootWithoutSetuidRunsNothing) {
  ContainedResult result;
  {
    const EffectiveCapabilities only(std::uint64_t{1} << CAP_NET_RAW);
    result = run("id -u");
  }
  EXPECT_EQ(
      result.describe(),
      "não foi iniciado: sem CAP_SETUID e CAP_SETGID não pode passar ao usuário _quillet, e " +
          (dir.path() / "prog").string() + " não roda como root");
  EXPECT_EQ(result.partial, "");
  EXPECT_FALSE(fs::exists(output()));
}

}  // namespace
}  // namespace quillet
