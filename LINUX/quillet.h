// Shared definitions of quillet: the version, the console colours, the
// command-line settings and the console line.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace quillet {

// The project's version, as CMakeLists.txt gives it.
inline constexpr std::string_view VERSION = QUILLET_VERSION;

inline constexpr std::string_view RED = "\x1b[1;31m";
inline constexpr std::string_view GREEN = "\x1b[0;32m";
inline constexpr std::string_view RESET = "\x1b[0;0m";

// The four settings taken from the command line. Each holds its argument exactly
// as passed, or nothing when the command line did not reach it.
struct Settings {
  std::optional<std::string> mode;
  std::optional<std::string> caminho;
  std::optional<std::string> zabbix_server;
  std::optional<std::string> zabbix_host;
};

// Prints one console line and flushes it, so that it stands before anything a
// child process writes afterwards.
inline void println(std::ostream& out, std::string_view line) {
  out << line << '\n';
  out.flush();
}

}  // namespace quillet
