#include "capture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "failure.h"
#include "quillet.h"

namespace quillet {

namespace {

constexpr std::string_view kStep = "captura";

// Removes whatever is at `path` without following a symlink there. Nothing at
// the path (or a parent that is not a directory) is fine.
void remove_working_file(const std::string& path) {
  if (::unlink(path.c_str()) == 0 || errno == ENOENT || errno == ENOTDIR) return;
  throw system_failure(std::string(kStep), "não foi possível remover " + path, errno);
}

// True when `path` itself is a regular file of at least one byte. A symlink
// does not count, whatever it points to: the files are judged as written here.
bool has_content(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) return S_ISREG(st.st_mode) && st.st_size > 0;
  if (errno == ENOENT || errno == ENOTDIR) return false;
  throw system_failure(std::string(kStep), "não foi possível examinar " + path, errno);
}

bool taken_literally(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("_@%+=:,./-").find(c) != std::string_view::npos;
}

}  // namespace

std::string shell_word(const std::string& word) {
  bool plain = !word.empty();
  for (char c : word)
    plain = plain && taken_literally(c);
  if (plain) return word;
  std::string quoted = "'";
  for (char c : word) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

std::string tcpdump_command(const CaptureSetup& setup) {
  return "timeout " + std::to_string(setup.window_seconds) +
         " tcpdump --immediate-mode -s 512 -i " + shell_word(setup.interface) +
         (setup.interface == "any" ? " -y LINUX_SLL" : "") + " -w " +
         shell_word(setup.caminho_tcpdump) + " port 53";
}

std::string dnstop_command(const CaptureSetup& setup, const std::vector<std::string>& own) {
  std::string command = "dnstop -l 4 ";
  for (const std::string& address : own)
    command += "-i " + shell_word(address) + " ";
  return command + shell_word(setup.caminho_tcpdump) + " > " + shell_word(setup.caminho_arquivo);
}

ContainedCommand dnstop_contained(const CaptureSetup& setup, const std::vector<std::string>& own) {
  ContainedCommand command{"dnstop", {"-l", "4"}, setup.caminho_tcpdump, setup.caminho_arquivo};
  for (const std::string& address : own) {
    command.args.push_back("-i");
    command.args.push_back(address);
  }
  command.args.push_back("/dev/stdin");
  return command;
}

std::string tcp_reader_command(const CaptureSetup& setup, const std::vector<std::string>& own) {
  std::string command = shell_word(setup.tcp_reader);
  for (const std::string& address : own)
    command += " -i " + shell_word(address);
  return command + " < " + shell_word(setup.caminho_tcpdump) + " > " +
         shell_word(setup.caminho_tcp);
}

ContainedCommand tcp_reader_contained(const CaptureSetup& setup,
                                      const std::vector<std::string>& own) {
  ContainedCommand command{setup.tcp_reader, {}, setup.caminho_tcpdump, setup.caminho_tcp};
  for (const std::string& address : own) {
    command.args.push_back("-i");
    command.args.push_back(address);
  }
  return command;
}

std::optional<std::chrono::system_clock::time_point> capturar_dnstop(const CaptureSetup& setup,
                                                                     std::ostream& out,
                                                                     CommandRunner& runner,
                                                                     ContainedRunner& contained,
                                                                     const WallClock& clock) {
  for (const std::string* arquivo :
       {&setup.caminho_tcpdump, &setup.caminho_arquivo, &setup.caminho_tcp}) {
    remove_working_file(*arquivo);
  }

  const std::string tcpdump_cmd = tcpdump_command(setup);
  println(out, "[DEBUG] Executando: " + tcpdump_cmd);
  // timeout ends with 124 when it stops tcpdump: the capture file is the verdict.
  runner.run_shell(tcpdump_cmd, ChildOutput::dropped);
  const auto window_end = clock();
  if (!has_content(setup.caminho_tcpdump)) {
    println(out, "[ERRO] Nenhum pacote DNS capturado (arquivo .pcap vazio).");
    return std::nullopt;
  }

  // The addresses of the moment the window closed.
  const std::vector<std::string> own = setup.own_addresses();
  const std::string dnstop_cmd = dnstop_command(setup, own);
  const ContainedResult result = contained.run(dnstop_contained(setup, own), setup.contain);
  if (!result.partial.empty()) println(out, "[AVISO] " + result.partial);
  if (!result.success()) {
    println(out, "[ERRO] dnstop falhou: comando '" + dnstop_cmd + "' " + result.describe());
    return std::nullopt;
  }

  if (!has_content(setup.caminho_arquivo)) {
    println(out, "[ERRO] Arquivo de saída não foi gerado.");
    return std::nullopt;
  }

  if (setup.tcp_reader.empty()) return window_end;
  const ContainedResult tcp = contained.run(tcp_reader_contained(setup, own), setup.contain);
  if (!tcp.partial.empty()) println(out, "[AVISO] " + tcp.partial);
  if (!tcp.success()) {
    println(out, "[ERRO] " + setup.tcp_reader + " falhou: comando '" +
                     tcp_reader_command(setup, own) + "' " + tcp.describe());
    return std::nullopt;
  }
  return window_end;
}

}  // namespace quillet
