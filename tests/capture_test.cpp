#include "capture.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "failure_of.h"
#include "fake_tools.h"
#include "scratch.h"
#include "test_context.h"

namespace quillet {
namespace {

namespace fs = std::filesystem;
using testing::capture_setup_in;
using testing::failure_of;
using testing::FakeTools;
using testing::read_file;
using testing::RedirectedFd;
using testing::ScratchDir;

constexpr const char* kNoCapture = "[ERRO] Nenhum pacote DNS capturado (arquivo .pcap vazio).\n";
constexpr const char* kNoReport = "[ERRO] Arquivo de saída não foi gerado.\n";

std::string debug_line(const CaptureSetup& setup) {
  return "[DEBUG] Executando: timeout 5 tcpdump --immediate-mode -B 65536 -s 512 -i ens18 -w " +
         setup.caminho_tcpdump + " udp port 53\n";
}

std::string dnstop_failed(const CaptureSetup& setup, const std::string& how) {
  return "[ERRO] dnstop falhou: comando 'dnstop -l 2 -X -B 1048573 /dev/stdin < " +
         setup.caminho_tcpdump + " > " + setup.caminho_arquivo + "' " + how + "\n";
}

bool exists_here(const std::string& path) {
  return fs::exists(fs::symlink_status(path));
}

TEST(CaptureCommands, AreThePlainConcatenationsForOrdinaryValues) {
  CaptureSetup shipped;
  const std::string tcp =
      " & timeout 5 tcpdump --immediate-mode -B 32768 -s 65535 -i ens18 -w "
      "/home/quillet/tcp_dump.pcap 'tcp port 53 or (ip[6:2] & 0x1fff != 0 and ip[9] = 6) or "
      "(ip6[6] = 44 and ip6[40] = 6)'";
  EXPECT_EQ(tcpdump_command(shipped),
            "timeout 5 tcpdump --immediate-mode -B 65536 -s 512 -i ens18 -w "
            "/home/quillet/dump.pcap udp port 53" +
                tcp);
  EXPECT_EQ(contained_text(dnstop_contained(shipped, {})),
            "dnstop -l 2 -X -B 1048573 /dev/stdin < /home/quillet/dump.pcap > "
            "/home/quillet/dnstop_output.txt");
  EXPECT_EQ(contained_text(tcp_reader_contained(shipped, {"192.0.2.1", "::1"})),
            "quillet-tcp -i 192.0.2.1 -i ::1 < /home/quillet/tcp_dump.pcap 3< "
            "/home/quillet/dump.pcap > /home/quillet/tcp_output.txt");

  CaptureSetup other;
  other.caminho_tcpdump = "/tmp/w-1/d.pcap";
  other.caminho_arquivo = "/tmp/my report.txt";
  other.window_seconds = 2;
  other.interface = "eth0.100";
  other.tcp_reader.clear();
  EXPECT_EQ(tcpdump_command(other),
            "timeout 2 tcpdump --immediate-mode -B 65536 -s 512 -i "
            "eth0.100 -w /tmp/w-1/d.pcap udp port 53");
  EXPECT_EQ(contained_text(dnstop_contained(other, {"192.0.2.1"})),
            "dnstop -l 2 -X -B 1048573 -i 192.0.2.1 /dev/stdin < /tmp/w-1/d.pcap > "
            "'/tmp/my report.txt'");
  // On "any" alone, cooked headers that dnstop reads.
  other.interface = "any";
  EXPECT_EQ(tcpdump_command(other),
            "timeout 2 tcpdump --immediate-mode -B 65536 -s 512 -i any "
            "-y LINUX_SLL -w /tmp/w-1/d.pcap udp port 53");
}

// What tcpdump says at its end, read by meaning: the drops by the kernel, and
// by the interface where it counts them.
TEST(CaptureCommands, TheLossIsWhatTcpdumpCountedAtItsEnd) {
  const std::pair<std::string, std::optional<CaptureLoss>> rows[] = {
      {testing::kQuietCapture, CaptureLoss{0, 0}},
      {"listening on ens18\n9 packets captured\n12 packets received by filter\n"
       "3 packets dropped by kernel\n1 packet dropped by interface\n",
       CaptureLoss{3, 1}},
      {"tcpdump: 9 packets captured, 12 packets received by filter, 1 packet dropped by kernel\n",
       CaptureLoss{1, 0}},
      {"tcpdump: ens18: No such device exists\n", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [errors, loss] : rows)
    EXPECT_EQ(capture_loss(errors), loss) << errors;
}

TEST(CaptureCommands, ShellWordQuotesOnlyWhatTheShellWouldInterpret) {
  const std::pair<std::string, std::string> rows[] = {
      {"ens18", "ens18"},   {"br-lan_0:1@x,y+z=%", "br-lan_0:1@x,y+z=%"},
      {"", "''"},           {"a b", "'a b'"},
      {"a'b", "'a'\\''b'"}, {"$IFS", "'$IFS'"},
      {"`id`", "'`id`'"},   {"x;y", "'x;y'"},
      {"~root", "'~root'"}, {"*", "'*'"},
      {"#", "'#'"},         {"a\nb", "'a\nb'"},
  };
  for (const auto& [word, expected] : rows)
    EXPECT_EQ(shell_word(word), expected) << word;
}

// The fakes play both programs: `tcpdump` and `dnstop` say what each leaves
// on disk.
struct FakeCapture {
  ScratchDir dir;
  CaptureSetup setup = capture_setup_in(dir.path());
  std::ostringstream out;
  testing::FakeRunner runner;
  testing::FakeContained contained;
  std::function<void()> tcpdump = [this] { std::ofstream(setup.caminho_tcpdump) << "pcap"; };
  std::function<void()> dnstop = [this] { std::ofstream(setup.caminho_arquivo) << "report"; };
  // How many command lines had run at each reading of the clock.
  std::vector<std::size_t> clock_reads;
  WallClock clock = [this] {
    clock_reads.push_back(runner.calls.size());
    return std::chrono::system_clock::time_point{};
  };

  FakeCapture() {
    runner.console = contained.console = &out;
    runner.on_run = [this](const std::string&) {
      tcpdump();
      return ExitStatus{true, 124, 0};
    };
    contained.on_run = [this](const ContainedCommand&) {
      dnstop();
      return ContainedResult{};
    };
  }
  bool run() { return capturar_dnstop(setup, out, runner, contained, clock).has_value(); }
};

TEST(CaptureWithFakeRunner, DebugLineOnceBeforeTheCaptureThenTheSummary) {
  FakeCapture t;
  // The host's addresses before the window and once it has closed: one moved
  // away during it is still the host's own.
  std::vector<std::string> own = {"198.51.100.9"};
  t.setup.own_addresses = [&] { return own; };
  t.tcpdump = [&] {
    std::ofstream(t.setup.caminho_tcpdump) << "pcap";
    own = {"192.0.2.1", "fe80::1"};
  };
  EXPECT_TRUE(t.run());
  EXPECT_EQ(t.out.str(), debug_line(t.setup));
  // The window ends when tcpdump does: the clock is read after it, before dnstop.
  EXPECT_EQ(t.clock_reads, std::vector<std::size_t>{1});
  ASSERT_EQ(t.runner.calls.size(), 1u);
  EXPECT_EQ(t.runner.calls[0].command_line, tcpdump_command(t.setup));
  EXPECT_EQ(t.runner.calls[0].console_before, debug_line(t.setup));
  // dnstop without a shell: the capture on its standard input, the report on
  // its standard output, as the shipped user.
  ASSERT_EQ(t.contained.calls.size(), 1u);
  const ContainedCommand& dnstop = t.contained.calls[0].command;
  EXPECT_EQ(dnstop.program, "dnstop");
  EXPECT_EQ(dnstop.args,
            (std::vector<std::string>{"-l", "2", "-X", "-B", "1048573", "-i", "192.0.2.1", "-i",
                                      "198.51.100.9", "-i", "fe80::1", "/dev/stdin"}));
  EXPECT_EQ(dnstop.input, t.setup.caminho_tcpdump);
  EXPECT_EQ(dnstop.output, t.setup.caminho_arquivo);
  EXPECT_EQ(t.contained.calls[0].bounds.user, "_quillet");
  EXPECT_EQ(t.contained.calls[0].console_before, debug_line(t.setup));
}

// Both captures at once, their losses said; after dnstop the TCP reader,
// contained the same way. A reader that fails is named and costs its TCP
// queries only.
TEST(CaptureWithFakeRunner, TheTcpCaptureAndReaderGoBesideTheUdpOnes) {
  FakeCapture t;
  t.setup.tcp_reader = "quillet-tcp";
  t.setup.own_addresses = [] { return std::vector<std::string>{"::1"}; };
  t.runner.errors = [](const std::string& line) {
    return std::string(line.find("udp port") != std::string::npos
                           ? "5 packets dropped by kernel\n2 packets dropped by interface\n"
                           : "1 packet dropped by kernel\n2 packets dropped by interface\n");
  };
  t.contained.on_run = [&](const ContainedCommand& command) {
    t.dnstop();
    return ContainedResult{{true, command.program == "dnstop" ? 0 : 1, 0}, "", ""};
  };
  const std::optional<Capture> capture =
      capturar_dnstop(t.setup, t.out, t.runner, t.contained, t.clock);
  ASSERT_TRUE(capture);
  EXPECT_EQ(capture->loss, (CaptureLoss{6, 2}));
  EXPECT_TRUE(capture->tcp_failed);
  ASSERT_EQ(t.runner.calls.size(), 2u);
  EXPECT_EQ(t.runner.calls[1].command_line, shell_line(tcp_capture_words(t.setup)));
  ASSERT_EQ(t.contained.calls.size(), 2u);
  const ContainedCommand& reader = t.contained.calls[1].command;
  EXPECT_EQ(reader.program, "quillet-tcp");
  EXPECT_EQ(reader.args, (std::vector<std::string>{"-i", "::1"}));
  EXPECT_EQ(reader.inputs(),
            (std::vector<std::string>{t.setup.caminho_tcp_capture, t.setup.caminho_tcpdump}));
  EXPECT_EQ(reader.output, t.setup.caminho_tcp);
  EXPECT_EQ(t.contained.calls[1].bounds.user, "_quillet");
  EXPECT_EQ(t.out.str(),
            "[DEBUG] Executando: " + tcpdump_command(t.setup) +
                "\n[AVISO] A captura perdeu pacotes: 6 descartados pelo kernel, 2 pela interface; "
                "as contagens são um mínimo.\n[ERRO] quillet-tcp falhou: comando '" +
                contained_text(reader) +
                "' terminou com status 1; as consultas TCP não foram contadas.\n");
  // A tcpdump that says nothing of its drops.
  t.out.str("");
  t.runner.errors = [](const std::string&) { return std::string(); };
  EXPECT_FALSE(capturar_dnstop(t.setup, t.out, t.runner, t.contained, t.clock)->loss);
  EXPECT_NE(t.out.str().find("[AVISO] O tcpdump não informou quantos pacotes a captura perdeu"),
            std::string::npos);
}

// A containment that failed or was only partial is said on the console with
// the summary's command line; a partial one that worked still gives the report.
TEST(CaptureWithFakeRunner, TheContainmentSaysWhatItCouldNotDo) {
  struct Row {
    ContainedResult result;
    std::string warning;  // the [AVISO] line, if any
    std::string failure;  // after the command line, if it failed
  };
  const Row rows[] = {
      {{{}, "excedeu o prazo de 60 s e foi encerrado", ""},
       "",
       "excedeu o prazo de 60 s e foi encerrado"},
      {{{}, "", "dnstop roda isolado só em parte: x."},
       "[AVISO] dnstop roda isolado só em parte: x.\n",
       ""},
      {{{false, 0, 9}, "", "dnstop roda isolado só em parte: y."},
       "[AVISO] dnstop roda isolado só em parte: y.\n",
       "terminou pelo sinal 9 (Killed)"},
  };
  for (const auto& row : rows) {
    FakeCapture t;
    t.contained.on_run = [&](const ContainedCommand&) {
      t.dnstop();
      return row.result;
    };
    EXPECT_EQ(t.run(), row.failure.empty()) << row.failure;
    EXPECT_EQ(t.out.str(), debug_line(t.setup) + row.warning +
                               (row.failure.empty() ? "" : dnstop_failed(t.setup, row.failure)));
  }
}

// What tcpdump or dnstop leaves at its path: only a regular file of at least
// one byte counts. Without a capture dnstop does not run.
TEST(CaptureWithFakeRunner, OnlyARegularFileWithBytesCounts) {
  enum Tool { tcpdump, dnstop };
  struct Row {
    Tool tool;
    const char* what;
    std::function<void(const std::string& path, const ScratchDir& dir)> leave;
  };
  const auto nothing = [](const std::string&, const ScratchDir&) {};
  const auto empty = [](const std::string& path, const ScratchDir&) { std::ofstream{path}; };
  const auto link = [](const std::string& path, const ScratchDir& dir) {
    fs::create_symlink(dir.write("full", "bytes"), path);
  };
  const Row rows[] = {
      {tcpdump, "nothing", nothing},
      {tcpdump, "empty file", empty},
      {tcpdump, "link to a full file", link},
      {tcpdump, "directory",
       [](const std::string& path, const ScratchDir&) { fs::create_directory(path); }},
      {dnstop, "nothing", nothing},
      {dnstop, "empty file", empty},
      {dnstop, "link to a full file", link},
  };
  for (const auto& row : rows) {
    FakeCapture t;
    if (row.tool == tcpdump) {
      t.tcpdump = [&] { row.leave(t.setup.caminho_tcpdump, t.dir); };
    } else {
      t.dnstop = [&] { row.leave(t.setup.caminho_arquivo, t.dir); };
    }
    EXPECT_FALSE(t.run()) << row.what;
    EXPECT_EQ(t.out.str(), debug_line(t.setup) + (row.tool == tcpdump ? kNoCapture : kNoReport))
        << row.what;
    EXPECT_EQ(t.contained.calls.size(), row.tool == tcpdump ? 0u : 1u) << row.what;
  }

  FakeCapture header_only;
  header_only.tcpdump = [&] { std::ofstream(header_only.setup.caminho_tcpdump) << 'x'; };
  EXPECT_TRUE(header_only.run());
}

TEST(CaptureWithFakeRunner, AWorkingPathThatCannotBeRemovedIsAFailure) {
  for (bool capture_path : {true, false}) {
    FakeCapture t;
    const std::string& path = capture_path ? t.setup.caminho_tcpdump : t.setup.caminho_arquivo;
    fs::create_directory(path);
    EXPECT_EQ(failure_of<Failure>([&] { t.run(); }),
              "erro do sistema / captura / não foi possível remover " + path + ": Is a directory");
    EXPECT_EQ(t.out.str(), "");
    EXPECT_TRUE(t.runner.calls.empty());
  }
}

TEST(CaptureWithFakeRunner, MissingWorkDirectoryEndsAsAnEmptyCapture) {
  FakeCapture t;
  t.setup = capture_setup_in(t.dir.path() / "absent");
  t.tcpdump = [] {};
  EXPECT_FALSE(t.run());
  EXPECT_EQ(t.out.str(), debug_line(t.setup) + kNoCapture);
}

// The real runners with scripts standing in for timeout, tcpdump and dnstop.
// timeout and tcpdump write their arguments, one per line, to <name>.args;
// dnstop, contained, can write nothing but its output: it prints them on its
// standard error, and the capture it reads in its report. As root only, with
// the user the shipped binary runs dnstop as.
class CaptureWithTools : public ::testing::Test {
 protected:
  // Runs in the scratch directory, so that a command line gone wrong writes
  // nothing into the source tree; dnstop's user must reach its stand-in there.
  CaptureWithTools() : saved_cwd(fs::current_path()) {
    fs::current_path(dir.path());
    fs::permissions(dir.path(), fs::perms::group_exec | fs::perms::others_exec,
                    fs::perm_options::add);
    const std::string log = dir.path().string() + "/";
    tools.install("timeout", "printf '%s\\n' \"$@\" > " + log +
                                 "timeout.args\nshift\n\"$@\"\nexit ${FAKE_STATUS:-124}");
    tools.install("tcpdump",
                  "printf '%s\\n' \"$@\" > " + log +
                      "tcpdump.args\necho noise; echo '0 packets dropped by kernel' >&2\n"
                      "while [ $# -gt 0 ]; do\n"
                      "  case \"$1\" in -w) printf 'pcap' > \"$2\";; esac; shift\n"
                      "done");
    install_dnstop("printf 'Sources of %s\\n' \"$(cat /dev/stdin)\"");
  }
  void SetUp() override {
    if (::geteuid() != 0 || !::getpwnam(CaptureSetup().contain.user.c_str()))
      GTEST_SKIP() << "needs root and the user " << CaptureSetup().contain.user;
    testing::own_uid();
  }
  ~CaptureWithTools() override { fs::current_path(saved_cwd); }

  void install_dnstop(const std::string& body) {
    tools.install("dnstop", "printf '%s\\n' \"$@\" >&2\n" + body);
  }

  // Runs the capture with the program's standard error going to the file that
  // stderr_text() reads.
  bool run() {
    RedirectedFd err(STDERR_FILENO, dir.path() / "stderr");
    return capturar_dnstop(setup, out, runner, contained, real_time).has_value();
  }
  std::string args(const std::string& tool) { return read_file(dir.path() / (tool + ".args")); }
  std::string stderr_text() { return read_file(dir.path() / "stderr"); }

  ScratchDir dir{QUILLET_TEST_VISIBLE_DIR};
  fs::path saved_cwd;
  ScratchDir work;
  CaptureSetup setup = capture_setup_in(work.path());
  FakeTools tools{dir.path() / "bin"};
  std::ostringstream out;
  ShellRunner runner;
  Container contained;
};

TEST_F(CaptureWithTools, NormalRunReturnsTheReport) {
  EXPECT_TRUE(run());
  EXPECT_EQ(out.str(), debug_line(setup));
  EXPECT_EQ(read_file(setup.caminho_arquivo), "Sources of pcap\n");
  EXPECT_EQ(args("timeout"), "5\ntcpdump\n--immediate-mode\n-B\n65536\n-s\n512\n-i\nens18\n-w\n" +
                                 setup.caminho_tcpdump + "\nudp\nport\n53\n");
  EXPECT_EQ(args("tcpdump"), "--immediate-mode\n-B\n65536\n-s\n512\n-i\nens18\n-w\n" +
                                 setup.caminho_tcpdump + "\nudp\nport\n53\n");
  // The capture's output was dropped or read; dnstop's standard error comes through.
  EXPECT_EQ(stderr_text(), "-l\n2\n-X\n-B\n1048573\n/dev/stdin\n");
}

TEST_F(CaptureWithTools, CaptureStatusIsIgnored) {
  for (const char* status : {"0", "1", "124", "137"}) {
    ::setenv("FAKE_STATUS", status, 1);
    out.str("");
    EXPECT_TRUE(run()) << status;
    EXPECT_EQ(out.str(), debug_line(setup)) << status;
  }
  ::unsetenv("FAKE_STATUS");
  tools.install("timeout", "shift\n\"$@\"\nkill -KILL $$");
  out.str("");
  EXPECT_TRUE(run());
}

TEST_F(CaptureWithTools, NoOrEmptyCaptureSkipsDnstop) {
  // No file at all, then a file of 0 bytes at the -w path.
  for (const char* body : {"exit 1", ": > \"$9\"; exit 0"}) {
    tools.install("tcpdump", body);
    work.write("dump.pcap", "old capture");
    work.write("dnstop_output.txt", "old report");
    out.str("");
    EXPECT_FALSE(run()) << body;
    EXPECT_EQ(out.str(), debug_line(setup) + kNoCapture) << body;
    EXPECT_EQ(stderr_text(), "") << body;  // dnstop did not run
    EXPECT_FALSE(exists_here(setup.caminho_arquivo)) << body;
  }
  EXPECT_EQ(fs::file_size(setup.caminho_tcpdump), 0u);
}

TEST_F(CaptureWithTools, FailedDnstopIsNamedWithItsStatus) {
  struct Row {
    std::string body;  // empty: dnstop not installed
    std::string how;
    std::string on_stderr;
  };
  const Row rows[] = {
      {"", "não foi iniciado: dnstop não está no PATH", ""},
      {"echo cannot read >&2; exit 3", "terminou com status 3", "cannot read"},
      // No shell in between: the signal itself.
      {"kill -TERM $$", "terminou pelo sinal 15 (Terminated)", ""},
      {"kill -KILL $$", "terminou pelo sinal 9 (Killed)", ""},
  };
  for (const auto& row : rows) {
    fs::remove(tools.bin() / "dnstop");
    if (!row.body.empty()) install_dnstop(row.body);
    out.str("");
    EXPECT_FALSE(run()) << row.body;
    EXPECT_EQ(out.str(), debug_line(setup) + dnstop_failed(setup, row.how)) << row.body;
    EXPECT_NE(stderr_text().find(row.on_stderr), std::string::npos) << stderr_text();
  }
}

TEST_F(CaptureWithTools, LinksAtTheWorkingPathsAreRemovedNotFollowed) {
  auto keep = dir.write("keep", "precious");
  auto nowhere = dir.path() / "nowhere";
  fs::create_symlink(keep, setup.caminho_tcpdump);
  fs::create_symlink(nowhere, setup.caminho_arquivo);
  EXPECT_TRUE(run());
  EXPECT_EQ(read_file(keep), "precious");
  EXPECT_FALSE(exists_here(nowhere.string()));
  EXPECT_FALSE(fs::is_symlink(setup.caminho_tcpdump));
  EXPECT_EQ(read_file(setup.caminho_tcpdump), "pcap");
  EXPECT_FALSE(fs::is_symlink(setup.caminho_arquivo));
  EXPECT_EQ(read_file(setup.caminho_arquivo), "Sources of pcap\n");
}

TEST_F(CaptureWithTools, AShellThatCannotStartIsAFailureAfterTheDebugLine) {
  ShellRunner broken("/nonexistent/sh");
  EXPECT_EQ(failure_of<Failure>([&] { capturar_dnstop(setup, out, broken, contained, real_time); }),
            "erro do sistema / execução de comando / não foi possível iniciar /nonexistent/sh "
            "para '" +
                tcpdump_command(setup) + "': No such file or directory");
  EXPECT_EQ(out.str(), debug_line(setup));
}

TEST_F(CaptureWithTools, InterfaceCannotInjectCommands) {
  const auto marker = dir.path() / "injected";
  tools.install("pwn", ": > " + marker.string());
  const std::string rows[] = {
      "ens18;pwn",  "ens18 && pwn", "ens18|pwn", "$(pwn)",         "`pwn`",
      "x'; pwn; '", "x\npwn",       "x # ; pwn", "x\" ; pwn ; \"", "ens18 > " + marker.string(),
      "*",
  };
  for (const auto& interface : rows) {
    out.str("");
    setup.interface = interface;
    EXPECT_TRUE(run()) << interface;
    EXPECT_FALSE(fs::exists(marker)) << interface;
    EXPECT_EQ(out.str(), "[DEBUG] Executando: " + tcpdump_command(setup) + "\n");
    EXPECT_EQ(args("tcpdump"), "--immediate-mode\n-B\n65536\n-s\n512\n-i\n" + interface + "\n-w\n" +
                                   setup.caminho_tcpdump + "\nudp\nport\n53\n")
        << interface;
  }
}

}  // namespace
}  // namespace quillet
