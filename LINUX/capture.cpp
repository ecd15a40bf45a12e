#include "capture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <sstream>
#include <string_view>

#include "failure.h"
#include "quillet.h"
#include "transports.h"

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

std::string shell_line(const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& word : words) {
    if (!line.empty()) line += ' ';
    line += shell_word(word);
  }
  return line;
}

namespace {

std::vector<std::string> tcpdump_words(const CaptureSetup& setup, int buffer_kib, int snapshot,
                                       const std::string& path) {
  std::vector<std::string> words = {"timeout", std::to_string(setup.window_seconds),
                                    "tcpdump", "--immediate-mode",
                                    "-B",      std::to_string(buffer_kib),
                                    "-s",      std::to_string(snapshot),
                                    "-i",      setup.interface};
  if (setup.interface == "any") words.insert(words.end(), {"-y", "LINUX_SLL"});
  words.insert(words.end(), {"-w", path});
  return words;
}

// "-i <address>" for each of the host's own addresses.
void leave_out(std::vector<std::string>& args, const std::vector<std::string>& own) {
  for (const std::string& address : own)
    args.insert(args.end(), {"-i", address});
}

// N in the first line (or comma-separated part of one) of `text` that reads
// "N packet(s) dropped by <by>", as tcpdump ends.
std::optional<std::int64_t> dropped_by(const std::string& text, std::string_view by) {
  std::istringstream parts(text);
  for (std::string part; std::getline(parts, part);) {
    std::istringstream pieces(part);
    for (std::string piece; std::getline(pieces, piece, ',');) {
      std::istringstream words(piece);
      std::vector<std::string> w;
      for (std::string word; words >> word;)
        w.push_back(word);
      const std::size_t n = w.size();
      if (n < 5 || w[n - 1] != by || w[n - 2] != "by" || w[n - 3] != "dropped" ||
          !w[n - 4].starts_with("packet"))
        continue;
      std::int64_t value = 0;
      const std::string& number = w[n - 5];
      const auto [end, error] =
          std::from_chars(number.data(), number.data() + number.size(), value);
      if (error == std::errc{} && end == number.data() + number.size()) return value;
    }
  }
  return std::nullopt;
}

}  // namespace

std::vector<std::string> udp_capture_words(const CaptureSetup& setup) {
  std::vector<std::string> words =
      tcpdump_words(setup, setup.udp_buffer_kib, 512, setup.caminho_tcpdump);
  words.insert(words.end(), {"udp", "port", "53"});
  return words;
}

std::vector<std::string> tcp_capture_words(const CaptureSetup& setup) {
  std::vector<std::string> words =
      tcpdump_words(setup, setup.tcp_buffer_kib, 65535, setup.caminho_tcp_capture);
  words.emplace_back(
      "tcp port 53 or (ip[6:2] & 0x1fff != 0 and ip[9] = 6) or (ip6[6] = 44 and ip6[40] = 6)");
  return words;
}

std::string tcpdump_command(const CaptureSetup& setup) {
  std::string command = shell_line(udp_capture_words(setup));
  if (!setup.tcp_reader.empty()) command += " & " + shell_line(tcp_capture_words(setup));
  return command;
}

ContainedCommand dnstop_contained(const CaptureSetup& setup, const std::vector<std::string>& own) {
  ContainedCommand command{
      "dnstop", {"-l", "2", "-X", "-B", "1048573"}, setup.caminho_tcpdump, setup.caminho_arquivo};
  leave_out(command.args, own);
  command.args.push_back("/dev/stdin");
  return command;
}

ContainedCommand tcp_reader_contained(const CaptureSetup& setup,
                                      const std::vector<std::string>& own,
                                      const std::vector<std::string>& rows) {
  ContainedCommand command{setup.tcp_reader, {}, setup.caminho_tcp_capture, setup.caminho_tcp};
  command.more_inputs = {setup.caminho_tcpdump};
  leave_out(command.args, own);
  if (setup.tables) command.args.emplace_back("-t");
  for (const std::string& row : rows)
    command.args.insert(command.args.end(), {"-c", row});
  return command;
}

std::string contained_text(const ContainedCommand& command) {
  std::vector<std::string> words{command.program};
  words.insert(words.end(), command.args.begin(), command.args.end());
  std::string text = shell_line(words);
  text.append(" < ").append(shell_word(command.input));
  for (std::size_t i = 0; i < command.more_inputs.size(); ++i) {
    text.append(" ").append(std::to_string(3 + i)).append("< ");
    text.append(shell_word(command.more_inputs[i]));
  }
  return text.append(" > ").append(shell_word(command.output));
}

std::optional<CaptureLoss> capture_loss(const std::string& tcpdump_errors) {
  const auto kernel = dropped_by(tcpdump_errors, "kernel");
  if (!kernel) return std::nullopt;
  return CaptureLoss{*kernel, dropped_by(tcpdump_errors, "interface").value_or(0)};
}

std::optional<Capture> capturar_dnstop(const CaptureSetup& setup, std::ostream& out,
                                       CommandRunner& runner, ContainedRunner& contained,
                                       const WallClock& clock) {
  for (const std::string* arquivo : {&setup.caminho_tcpdump, &setup.caminho_arquivo,
                                     &setup.caminho_tcp_capture, &setup.caminho_tcp}) {
    remove_working_file(*arquivo);
  }

  std::vector<std::string> own = setup.own_addresses();
  println(out, "[DEBUG] Executando: " + tcpdump_command(setup));
  std::vector<std::string> lines = {shell_line(udp_capture_words(setup))};
  if (!setup.tcp_reader.empty()) lines.push_back(shell_line(tcp_capture_words(setup)));
  // timeout ends with 124 when it stops tcpdump: the capture file is the verdict.
  const std::vector<ShellResult> ended = runner.run_shells(lines);
  Capture capture{clock(), CaptureLoss{}, false};
  if (!has_content(setup.caminho_tcpdump)) {
    println(out, "[ERRO] Nenhum pacote DNS capturado (arquivo .pcap vazio).");
    return std::nullopt;
  }
  for (const ShellResult& result : ended) {
    const std::optional<CaptureLoss> loss = capture_loss(result.errors);
    if (!loss || !capture.loss) {
      capture.loss.reset();
      continue;
    }
    // Each capture has a buffer of its own; the interface is the same one.
    capture.loss->kernel += loss->kernel;
    capture.loss->interface = std::max(capture.loss->interface, loss->interface);
  }
  if (!capture.loss) {
    println(out,
            "[AVISO] O tcpdump não informou quantos pacotes a captura perdeu; as contagens "
            "podem ser um mínimo.");
  } else if (capture.loss->total() > 0) {
    println(out, "[AVISO] A captura perdeu pacotes: " + std::to_string(capture.loss->kernel) +
                     " descartados pelo kernel, " + std::to_string(capture.loss->interface) +
                     " pela interface; as contagens são um mínimo.");
  }

  // The addresses of both ends of the window.
  const std::vector<std::string> after = setup.own_addresses();
  own.insert(own.end(), after.begin(), after.end());
  std::sort(own.begin(), own.end());
  own.erase(std::unique(own.begin(), own.end()), own.end());
  const ContainedCommand dnstop = dnstop_contained(setup, own);
  const ContainedResult result = contained.run(dnstop, setup.contain);
  if (!result.partial.empty()) println(out, "[AVISO] " + result.partial);
  if (!result.success()) {
    println(out,
            "[ERRO] dnstop falhou: comando '" + contained_text(dnstop) + "' " + result.describe());
    return std::nullopt;
  }

  if (!has_content(setup.caminho_arquivo)) {
    println(out, "[ERRO] Arquivo de saída não foi gerado.");
    return std::nullopt;
  }

  if (setup.tcp_reader.empty()) return capture;
  // The rows of the report are the clients that may rank, with the TCP ones;
  // dnstop writes 50 at most.
  std::vector<std::string> rows;
  if (setup.tables) {
    analisarRelatorio(setup.caminho_arquivo, [&](const RecordView& r) {
      if (rows.size() < kReportRows) rows.emplace_back(r.source);
    });
  }
  const ContainedCommand reader = tcp_reader_contained(setup, own, rows);
  const ContainedResult tcp = contained.run(reader, setup.contain);
  if (!tcp.partial.empty()) println(out, "[AVISO] " + tcp.partial);
  if (!tcp.success()) {
    println(out, "[ERRO] " + setup.tcp_reader + " falhou: comando '" + contained_text(reader) +
                     "' " + tcp.describe() + "; as consultas TCP não foram contadas.");
    capture.tcp_failed = true;
  }
  return capture;
}

}  // namespace quillet
