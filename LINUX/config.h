// The optional configuration file: the capture's interface, the Zabbix port,
// the source address of the connections, how values are protected on their
// way (TLS with a pre-shared key or with certificates), the persistent
// buffer that keeps them through an outage and which tables a run sends.
// Its form is the Zabbix agent's: Key=Value lines, # comments, blank lines.
#pragma once

#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "failure.h"

namespace quillet {

// Where the shipped binary looks for it; tests point the run elsewhere.
inline constexpr std::string_view kConfigurationFile = "/etc/quillet/quillet.conf";

enum class TlsConnect { unencrypted, psk, cert };

// A value of the file together with the line that gave it, so that a problem
// found later (a key file that does not load) can name that line.
struct ConfiguredValue {
  std::string value;
  int line = 0;  // 0: not given
  bool given() const { return line > 0; }
};

struct Configuration {
  std::string file;           // the path it was read from
  ConfiguredValue interface;  // the capture's; not given: the run's fixed one
  int server_port = 10052;
  ConfiguredValue source_ip;  // a numeric IPv4 or IPv6 address; not given: the kernel's choice
  TlsConnect tls_connect = TlsConnect::unencrypted;
  int tls_connect_line = 0;  // the TLSConnect line, for reports; 0: not given
  // psk
  ConfiguredValue psk_identity;
  ConfiguredValue psk_file;
  std::string psk;  // the key itself, decoded from the file's hexadecimal digits
  // cert
  ConfiguredValue ca_file;
  ConfiguredValue cert_file;
  ConfiguredValue key_file;
  ConfiguredValue crl_file;             // optional
  ConfiguredValue server_cert_issuer;   // optional
  ConfiguredValue server_cert_subject;  // optional
  // The persistent buffer, with the Zabbix agent 2's keys. The period and the
  // file are read whether the buffer is on or not.
  bool persistent_buffer = false;
  std::chrono::seconds buffer_period{3600};  // 1m to 168h
  std::string buffer_period_text = "1h";     // as the file wrote it, for the console
  ConfiguredValue buffer_file;               // not given: in the working directory
  // EnableRanking: the run sends the ranked table (quillet.ranking).
  bool ranking = false;
  // EnableQueryTables: the tables of what the clients asked (names, names of
  // the ranked clients, query types).
  bool query_tables = false;
  // EnableResponseCodes: the shares of the server's answers by response code,
  // and the ranked clients' answers.
  bool response_codes = false;
};

// The bounds of PersistentBufferPeriod, as the agent 2 has them.
inline constexpr std::chrono::seconds kMinBufferPeriod{60};
inline constexpr std::chrono::seconds kMaxBufferPeriod{168 * 3600};

// A configuration that cannot be used: a Failure that ends the run before the
// capture. `line` is 0 when the problem concerns the whole file (it cannot be
// read, it is too open). what() is "<file>:<line>: <problem>", or "<file>:
// <problem>" for the whole file, and the report is that alone, after
// "quillet: ". Both parts are made fit for the console: control characters
// and bytes that are not UTF-8 become '?'.
class ConfigError : public Failure {
 public:
  ConfigError(std::string file, int line, const std::string& problem);
  const std::string& file() const { return file_; }
  int line() const { return line_; }
  void report(std::ostream& err) const override;

 private:
  std::string file_;
  int line_;
};

// Reads the text of a configuration: every line, the keys and their values, and
// which keys the chosen TLSConnect needs or does not use. Names `file` in its
// errors; reads no file itself (psk stays empty). Raises ConfigError.
Configuration parse_configuration(std::string_view text, const std::string& file);

// The configuration at `path`, or nothing when there is no file there. The file
// must be a regular file, owned by root or by this process's user, and not
// writable by group or others; the PSK file a regular file with no access for
// group or others, holding 32 to 512 hexadecimal digits. Raises ConfigError.
std::optional<Configuration> read_configuration(const std::string& path);

// The contents of a file that holds a secret (the PSK file, the private key):
// a regular file with no access for group or others, at most `limit` bytes.
// Problems are raised as ConfigError naming `config_file` and `where.line`.
std::string read_secret_file(const ConfiguredValue& where, const std::string& config_file,
                             std::size_t limit);

}  // namespace quillet
