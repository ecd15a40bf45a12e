#include "config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "format.h"
#include "link.h"
#include "os.h"
#include "utf8.h"

namespace quillet {

namespace {

// A configuration takes a few hundred bytes; the bound keeps a wrong path (a
// log, a device) from being read whole.
constexpr std::size_t kMaxConfigurationSize = std::size_t{64} * 1024;
// Zabbix's bounds on a PSK identity and on the key's hexadecimal digits.
constexpr std::size_t kMaxIdentityBytes = 128;
constexpr std::size_t kMinPskDigits = 32;
constexpr std::size_t kMaxPskDigits = 512;
// The longest key, with room for a line end and some blanks.
constexpr std::size_t kMaxPskFileSize = 1024;

// No file read here may block the run (a FIFO) or become its terminal.
constexpr int kOpenFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

// "<file>:<line>: <problem>", or "<file>: <problem>" when `line` is 0.
std::string located(const std::string& file, int line, const std::string& problem) {
  std::string out = console_safe(file, std::string_view::npos);
  if (line > 0) out += ':' + std::to_string(line);
  out += ": ";
  out += console_safe(problem, std::string_view::npos);
  return out;
}

// What the file's lines and the PSK file may have around their content.
constexpr std::string_view kBlanks = " \t";

// "a", "a e b", "a, b e c".
std::string listing(const std::vector<std::string_view>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += i + 1 == names.size() ? " e " : ", ";
    out += names[i];
  }
  return out;
}

std::string too_big(std::size_t limit) {
  return "tamanho acima do limite de " + std::to_string(limit) + " bytes";
}

std::string not_regular(mode_t mode) {
  const char* kind = S_ISDIR(mode)    ? "um diretório"
                     : S_ISFIFO(mode) ? "um FIFO"
                     : S_ISSOCK(mode) ? "um socket"
                     : S_ISCHR(mode)  ? "um dispositivo de caracteres"
                     : S_ISBLK(mode)  ? "um dispositivo de blocos"
                                      : "de outro tipo";
  return std::string("não é um arquivo comum (é ") + kind + ")";
}

std::string permissions(mode_t mode) {
  std::array<char, 8> text{};
  std::snprintf(text.data(), text.size(), "%04o", static_cast<unsigned>(mode & 07777));
  return text.data();
}

std::string system_error(const char* what, int err) {
  return std::string(what) + ": " + std::strerror(err);
}

// At most `limit` + 1 bytes of `fd`, so that a file that grew past the bound
// after fstat still shows it. A failed read raises what `refuse` makes of it.
template <typename Refuse>
std::string read_bounded(int fd, std::size_t limit, const Refuse& refuse) {
  std::string out;
  std::array<char, 4096> buffer{};
  while (out.size() <= limit) {
    const ssize_t n =
        read_resuming(fd, buffer.data(), std::min(buffer.size(), limit + 1 - out.size()));
    if (n == 0) break;
    if (n < 0) throw refuse(system_error("erro de leitura", errno));
    out.append(buffer.data(), static_cast<std::size_t>(n));
  }
  return out;
}

constexpr std::array<std::string_view, 3> kModeNames = {"unencrypted", "psk", "cert"};

std::string_view mode_name(TlsConnect mode) {
  return kModeNames[static_cast<std::size_t>(mode)];
}

enum class ValueKind { port, mode, path, identity, text, interface, address, flag, period };

struct Key {
  std::string_view name;
  ValueKind kind;
  std::optional<TlsConnect> mode;  // the only TLSConnect that uses the key; none: any
  bool required;                   // by that TLSConnect
  ConfiguredValue Configuration::*field;
};

constexpr std::size_t kServerPort = 0;
constexpr std::size_t kTlsConnect = 1;
constexpr std::size_t kEnableBuffer = 12;
constexpr std::size_t kBufferPeriod = 13;
constexpr std::size_t kEnableRanking = 15;
constexpr std::size_t kEnableQueryTables = 16;
constexpr std::size_t kEnableResponseCodes = 17;
constexpr std::array<Key, 18> kKeys = {{
    {"ServerPort", ValueKind::port, std::nullopt, false, nullptr},
    {"TLSConnect", ValueKind::mode, std::nullopt, false, nullptr},
    {"TLSPSKIdentity", ValueKind::identity, TlsConnect::psk, true, &Configuration::psk_identity},
    {"TLSPSKFile", ValueKind::path, TlsConnect::psk, true, &Configuration::psk_file},
    {"TLSCAFile", ValueKind::path, TlsConnect::cert, true, &Configuration::ca_file},
    {"TLSCertFile", ValueKind::path, TlsConnect::cert, true, &Configuration::cert_file},
    {"TLSKeyFile", ValueKind::path, TlsConnect::cert, true, &Configuration::key_file},
    {"TLSCRLFile", ValueKind::path, TlsConnect::cert, false, &Configuration::crl_file},
    {"TLSServerCertIssuer", ValueKind::text, TlsConnect::cert, false,
     &Configuration::server_cert_issuer},
    {"TLSServerCertSubject", ValueKind::text, TlsConnect::cert, false,
     &Configuration::server_cert_subject},
    {"Interface", ValueKind::interface, std::nullopt, false, &Configuration::interface},
    {"SourceIP", ValueKind::address, std::nullopt, false, &Configuration::source_ip},
    {"EnablePersistentBuffer", ValueKind::flag, std::nullopt, false, nullptr},
    {"PersistentBufferPeriod", ValueKind::period, std::nullopt, false, nullptr},
    {"PersistentBufferFile", ValueKind::path, std::nullopt, false, &Configuration::buffer_file},
    {"EnableRanking", ValueKind::flag, std::nullopt, false, nullptr},
    {"EnableQueryTables", ValueKind::flag, std::nullopt, false, nullptr},
    {"EnableResponseCodes", ValueKind::flag, std::nullopt, false, nullptr},
}};

using Seen = std::array<ConfiguredValue, kKeys.size()>;

// An interface name as the kernel takes it (at most 15 bytes) and as the
// shell takes it without quoting.
bool interface_name(std::string_view value) {
  return value.size() <= 15 && std::all_of(value.begin(), value.end(), [](char c) {
           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '_' || c == '-';
         });
}

// A period as the agent writes it: whole seconds, or a number of minutes,
// hours or days with its suffix; only within the buffer's bounds.
std::optional<std::chrono::seconds> period_of(std::string_view value) {
  constexpr std::string_view kUnits = "smhd";
  constexpr std::array<std::int64_t, 4> kUnitSeconds = {1, 60, 3600, 86400};
  std::int64_t unit = 1;
  if (const std::size_t at = value.empty() ? std::string_view::npos : kUnits.find(value.back());
      at != std::string_view::npos) {
    unit = kUnitSeconds[at];
    value.remove_suffix(1);
  }
  // Beyond 9 digits every unit is past the bound.
  if (value.empty() || value.size() > 9 ||
      !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  const std::chrono::seconds period{std::stoll(std::string(value)) * unit};
  if (period < kMinBufferPeriod || period > kMaxBufferPeriod) return std::nullopt;
  return period;
}

std::optional<TlsConnect> mode_of(std::string_view value) {
  for (std::size_t i = 0; i < kModeNames.size(); ++i) {
    if (value == kModeNames[i]) return static_cast<TlsConnect>(i);
  }
  return std::nullopt;
}

// What is wrong with `value` for `key`, or nothing.
std::optional<std::string> value_problem(const Key& key, std::string_view value) {
  const std::string invalid =
      "valor " + in_quotes(value) + " inválido para " + std::string(key.name);
  switch (key.kind) {
    case ValueKind::port:
      if (!port_number(value)) return invalid + "; use um número de 1 a 65535";
      break;
    case ValueKind::mode:
      if (!mode_of(value)) return invalid + "; use unencrypted, psk ou cert";
      break;
    case ValueKind::path:
      if (value.front() != '/') {
        return std::string(key.name) + " " + in_quotes(value) +
               " não é um caminho absoluto; indique o caminho completo, a partir de /";
      }
      break;
    case ValueKind::identity:
      if (value.size() > kMaxIdentityBytes) {
        return std::string(key.name) + " com " + std::to_string(value.size()) +
               " bytes; o limite é " + std::to_string(kMaxIdentityBytes);
      }
      break;
    case ValueKind::text:
      break;
    case ValueKind::interface:
      if (!interface_name(value)) {
        return invalid +
               "; use o nome de uma interface de rede: de 1 a 15 letras, dígitos, \".\", \"_\" "
               "ou \"-\"";
      }
      break;
    case ValueKind::address:
      // A numeric IPv4 or IPv6 address, as the agent's SourceIP: what the
      // connections are then made from.
      if (!source_address(std::string(value))) {
        return invalid + "; use um endereço IPv4 ou IPv6 numérico";
      }
      break;
    case ValueKind::flag:
      if (value != "0" && value != "1") return invalid + "; use 0 ou 1";
      break;
    case ValueKind::period:
      if (!period_of(value)) {
        return invalid + "; use de 1m a 168h: um número de segundos, ou seguido de s, m, h ou d";
      }
      break;
  }
  return std::nullopt;
}

// Takes one line of the file into `seen`; comments and blank lines give nothing.
void read_line(std::string_view line, int number, const std::string& file, Seen& seen) {
  auto refuse = [&](const std::string& problem) { return ConfigError(file, number, problem); };
  if (line.find('\0') != std::string_view::npos) throw refuse("a linha contém um byte NUL");
  if (!valid_utf8(line)) throw refuse("a linha não é texto UTF-8 válido; grave o arquivo em UTF-8");
  if (line.ends_with('\r')) line.remove_suffix(1);
  line = trim(line, kBlanks);
  if (line.empty() || line.front() == '#') return;

  const std::size_t eq = line.find('=');
  if (eq == std::string_view::npos) {
    throw refuse("linha sem \"=\": " + in_quotes(line) + "; esperado Chave=Valor");
  }
  const std::string_view name = trim(line.substr(0, eq), kBlanks);
  const std::string_view value = trim(line.substr(eq + 1), kBlanks);
  if (name.empty()) throw refuse("linha sem chave antes de \"=\"");
  const auto* key =
      std::find_if(kKeys.begin(), kKeys.end(), [&](const Key& k) { return k.name == name; });
  if (key == kKeys.end()) {
    std::vector<std::string_view> names(kKeys.size());
    std::transform(kKeys.begin(), kKeys.end(), names.begin(), [](const Key& k) { return k.name; });
    throw refuse("chave desconhecida " + in_quotes(name) + "; as chaves aceitas são " +
                 listing(names));
  }
  ConfiguredValue& slot = seen[static_cast<std::size_t>(key - kKeys.begin())];
  if (slot.given()) {
    throw refuse("chave " + std::string(name) + " repetida; já definida na linha " +
                 std::to_string(slot.line));
  }
  if (value.empty()) throw refuse("valor vazio para " + std::string(name));
  if (auto problem = value_problem(*key, value)) throw refuse(*problem);
  slot = {std::string(value), number};
}

// A problem of the file named by `where` (the PSK file, a key file), reported
// at the line that names it.
ConfigError file_error(const ConfiguredValue& where, const std::string& config_file,
                       const std::string& problem) {
  return ConfigError(config_file, where.line,
                     "arquivo " + console_safe(where.value) + ": " + problem);
}

// The key of a PSK file: hexadecimal digits, then blanks and one line end at
// most. The content is never shown, not even in part: it is the secret.
std::string decode_psk(std::string_view content, const ConfiguredValue& where,
                       const std::string& config_file) {
  std::string_view digits = trim_end(content, kBlanks);
  if (digits.ends_with("\r\n")) {
    digits.remove_suffix(2);
  } else if (digits.ends_with('\n')) {
    digits.remove_suffix(1);
  }
  digits = trim_end(digits, kBlanks);
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (hex_value(digits[i]) < 0) {
      throw file_error(where, config_file,
                       "o byte " + std::to_string(i + 1) +
                           " não é um dígito hexadecimal; o arquivo deve conter só a chave, em "
                           "hexadecimal");
    }
  }
  const std::string count =
      "chave PSK com " + std::to_string(digits.size()) + " dígitos hexadecimais; ";
  if (digits.size() < kMinPskDigits || digits.size() > kMaxPskDigits) {
    throw file_error(where, config_file,
                     count + "são necessários de " + std::to_string(kMinPskDigits) + " a " +
                         std::to_string(kMaxPskDigits));
  }
  if (digits.size() % 2 != 0) {
    throw file_error(where, config_file, count + "o número deve ser par (2 dígitos por byte)");
  }
  std::string key;
  for (std::size_t i = 0; i < digits.size(); i += 2)
    key += static_cast<char>(hex_value(digits[i]) << 4 | hex_value(digits[i + 1]));
  return key;
}

}  // namespace

ConfigError::ConfigError(std::string file, int line, const std::string& problem)
    : Failure("configuração inválida", "leitura da configuração", located(file, line, problem)),
      file_(std::move(file)),
      line_(line) {}

void ConfigError::report(std::ostream& err) const {
  err << "quillet: " << what() << '\n';
  err.flush();
}

Configuration parse_configuration(std::string_view text, const std::string& file) {
  if (text.size() > kMaxConfigurationSize) {
    throw ConfigError(file, 0, too_big(kMaxConfigurationSize));
  }
  Seen seen;
  int number = 0;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    read_line(text.substr(start, end - start), ++number, file, seen);
    start = end + 1;
  }

  Configuration config;
  config.file = file;
  if (seen[kServerPort].given()) config.server_port = *port_number(seen[kServerPort].value);
  const ConfiguredValue& connect = seen[kTlsConnect];
  if (connect.given()) {
    config.tls_connect = *mode_of(connect.value);
    config.tls_connect_line = connect.line;
  }

  // Keys of another TLSConnect, the earliest first: a forgotten TLSConnect line
  // must not pass for an unencrypted setup that was meant.
  std::optional<std::size_t> stray;
  for (std::size_t k = 0; k < kKeys.size(); ++k) {
    if (!kKeys[k].mode || *kKeys[k].mode == config.tls_connect || !seen[k].given()) continue;
    if (!stray || seen[k].line < seen[*stray].line) stray = k;
  }
  if (stray) {
    const std::string chosen =
        connect.given() ? "é " + connect.value + " (linha " + std::to_string(connect.line) + ")"
                        : "não foi definido (unencrypted)";
    throw ConfigError(file, seen[*stray].line,
                      std::string(kKeys[*stray].name) + " só se usa com TLSConnect=" +
                          std::string(mode_name(*kKeys[*stray].mode)) + ", mas TLSConnect " +
                          chosen);
  }

  std::vector<std::string_view> required;
  std::vector<std::string_view> missing;
  for (std::size_t k = 0; k < kKeys.size(); ++k) {
    if (!kKeys[k].required || kKeys[k].mode != config.tls_connect) continue;
    required.push_back(kKeys[k].name);
    if (!seen[k].given()) missing.push_back(kKeys[k].name);
  }
  if (!missing.empty()) {
    throw ConfigError(file, connect.line,
                      "TLSConnect=" + connect.value + " requer " + listing(required) + "; " +
                          (missing.size() == 1 ? "falta " : "faltam ") + listing(missing));
  }

  for (std::size_t k = 0; k < kKeys.size(); ++k) {
    if (kKeys[k].field) config.*kKeys[k].field = seen[k];
  }
  config.persistent_buffer = seen[kEnableBuffer].value == "1";
  config.ranking = seen[kEnableRanking].value == "1";
  config.query_tables = seen[kEnableQueryTables].value == "1";
  config.response_codes = seen[kEnableResponseCodes].value == "1";
  if (seen[kBufferPeriod].given()) {
    config.buffer_period = *period_of(seen[kBufferPeriod].value);
    config.buffer_period_text = seen[kBufferPeriod].value;
  }
  return config;
}

std::optional<Configuration> read_configuration(const std::string& path) {
  // The open descriptor is what gets checked: no race between a stat and the open.
  const Fd fd(::open(path.c_str(), kOpenFlags));
  if (!fd) {
    const int err = errno;
    struct stat st {};
    if (err != ENOENT) throw ConfigError(path, 0, system_error("não foi possível abrir", err));
    // A link to nothing is a configuration gone wrong, not an absent one.
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      throw ConfigError(path, 0, "é um link simbólico para um caminho que não existe");
    }
    return std::nullopt;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    const int err = errno;
    throw ConfigError(path, 0, system_error("não foi possível examinar", err));
  }
  if (!S_ISREG(st.st_mode)) throw ConfigError(path, 0, not_regular(st.st_mode));
  // The file decides where the values go: only root or this user may write it.
  const uid_t euid = ::geteuid();
  if (st.st_uid != 0 && st.st_uid != euid) {
    const std::string owners =
        euid == 0 ? "root; use chown root"
                  : "root ou ao uid " + std::to_string(euid) + ", que executa o quillet; use chown";
    throw ConfigError(
        path, 0, "pertence ao uid " + std::to_string(st.st_uid) + "; deve pertencer a " + owners);
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    throw ConfigError(path, 0,
                      "permissões " + permissions(st.st_mode) +
                          " permitem escrita por grupo ou outros; use chmod 600 (ou 644)");
  }
  if (static_cast<std::uintmax_t>(st.st_size) > kMaxConfigurationSize) {
    throw ConfigError(path, 0, too_big(kMaxConfigurationSize));
  }
  const std::string text =
      read_bounded(fd.get(), kMaxConfigurationSize,
                   [&](const std::string& problem) { return ConfigError(path, 0, problem); });

  Configuration config = parse_configuration(text, path);
  if (config.tls_connect == TlsConnect::psk) {
    config.psk =
        decode_psk(read_secret_file(config.psk_file, path, kMaxPskFileSize), config.psk_file, path);
  }
  return config;
}

std::string read_secret_file(const ConfiguredValue& where, const std::string& config_file,
                             std::size_t limit) {
  auto refuse = [&](const std::string& problem) { return file_error(where, config_file, problem); };
  const Fd fd(::open(where.value.c_str(), kOpenFlags));
  if (!fd) throw refuse(system_error("não foi possível abrir", errno));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throw refuse(system_error("não foi possível examinar", errno));
  if (!S_ISREG(st.st_mode)) throw refuse(not_regular(st.st_mode));
  if ((st.st_mode & 077) != 0) {
    throw refuse("permissões " + permissions(st.st_mode) +
                 " dão acesso a grupo ou outros; use chmod 600");
  }
  if (static_cast<std::uintmax_t>(st.st_size) > limit) throw refuse(too_big(limit));
  std::string content = read_bounded(fd.get(), limit, refuse);
  if (content.size() > limit) throw refuse(too_big(limit));
  return content;
}

}  // namespace quillet
