#include "config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <string>

#include <gtest/gtest.h>

#include "failure_of.h"
#include "format.h"
#include "os.h"
#include "scratch.h"

namespace quillet {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using testing::failure_of;
using testing::kNoFailure;
using testing::ScratchDir;

constexpr const char* kFile = "quillet.conf";
const std::string kKnownKeys =
    "ServerPort, TLSConnect, TLSPSKIdentity, TLSPSKFile, TLSCAFile, TLSCertFile, TLSKeyFile, "
    "TLSCRLFile, TLSServerCertIssuer, TLSServerCertSubject, Interface, SourceIP, "
    "EnablePersistentBuffer, PersistentBufferPeriod, PersistentBufferFile, EnableRanking, "
    "EnableQueryTables e "
    "EnableResponseCodes";
const std::string kDefaults = "ServerPort=10052 TLSConnect=unencrypted@0";

// "Key=value@line" for the port, the mode and every value given.
std::string render(const Configuration& c) {
  static const char* const modes[] = {"unencrypted", "psk", "cert"};
  std::string text = "ServerPort=" + std::to_string(c.server_port) +
                     " TLSConnect=" + modes[static_cast<int>(c.tls_connect)] + "@" +
                     std::to_string(c.tls_connect_line);
  const std::pair<const char*, const ConfiguredValue*> values[] = {
      {"TLSPSKIdentity", &c.psk_identity},
      {"TLSPSKFile", &c.psk_file},
      {"TLSCAFile", &c.ca_file},
      {"TLSCertFile", &c.cert_file},
      {"TLSKeyFile", &c.key_file},
      {"TLSCRLFile", &c.crl_file},
      {"TLSServerCertIssuer", &c.server_cert_issuer},
      {"TLSServerCertSubject", &c.server_cert_subject},
      {"Interface", &c.interface},
      {"SourceIP", &c.source_ip},
      {"PersistentBufferFile", &c.buffer_file},
  };
  for (const auto& [name, v] : values) {
    if (v->given() || !v->value.empty())
      text += std::string(" ") + name + "=" + v->value + "@" + std::to_string(v->line);
  }
  if (c.persistent_buffer) text += " EnablePersistentBuffer=1";
  if (c.ranking) text += " EnableRanking=1";
  if (c.query_tables) text += " EnableQueryTables=1";
  if (c.response_codes) text += " EnableResponseCodes=1";
  if (c.buffer_period != std::chrono::hours(1) || c.buffer_period_text != "1h") {
    text += " PersistentBufferPeriod=" + c.buffer_period_text + "(" +
            std::to_string(c.buffer_period.count()) + "s)";
  }
  return text;
}

// The rendered configuration, or the report of the error.
std::string parsed(const std::string& text) {
  std::string rendered;
  const std::string failure = failure_of<ConfigError>([&] {
    const Configuration c = parse_configuration(text, kFile);
    EXPECT_EQ(c.file, kFile);
    EXPECT_EQ(c.psk, "");
    rendered = render(c);
  });
  return failure == kNoFailure ? rendered : failure;
}

struct Row {
  std::string text;
  std::string expected;
};

void expect_parsed(const std::vector<Row>& rows) {
  for (const Row& row : rows)
    EXPECT_EQ(parsed(row.text), row.expected) << "text: " << row.text;
}

TEST(ParseConfiguration, AcceptedForms) {
  const std::string e64(64, 'e');
  std::string accents;
  for (int i = 0; i < 64; ++i)
    accents += "é";
  expect_parsed({
      {"", kDefaults},
      {"# comentário\n\n \t \n   # recuado\n\t#ServerPort=1\n\r\n", kDefaults},
      {std::string(65535, '#') + "\n", kDefaults},
      {"ServerPort=10051", "ServerPort=10051 TLSConnect=unencrypted@0"},
      {"TLSConnect=unencrypted\n", "ServerPort=10052 TLSConnect=unencrypted@1"},
      {"TLSConnect=psk\r\nTLSPSKIdentity=quillet 01\r\nTLSPSKFile=/etc/quillet/psk\r\n",
       "ServerPort=10052 TLSConnect=psk@1 TLSPSKIdentity=quillet 01@2 "
       "TLSPSKFile=/etc/quillet/psk@3"},
      {" \t ServerPort \t= \t 10051 \t\r\n\tTLSConnect\t=\tpsk\nTLSPSKIdentity = a b \n"
       "TLSPSKFile= /k",
       "ServerPort=10051 TLSConnect=psk@2 TLSPSKIdentity=a b@3 TLSPSKFile=/k@4"},
      // Only one CR is a line end; one inside the value stays.
      {"TLSConnect=psk\nTLSPSKIdentity=a\rb\r\r\nTLSPSKFile=/k",
       "ServerPort=10052 TLSConnect=psk@1 TLSPSKIdentity=a\rb\r@2 TLSPSKFile=/k@3"},
      {"TLSConnect=psk\nTLSPSKIdentity=" + std::string(128, 'q') + "\nTLSPSKFile=/k",
       "ServerPort=10052 TLSConnect=psk@1 TLSPSKIdentity=" + std::string(128, 'q') +
           "@2 TLSPSKFile=/k@3"},
      {"TLSConnect=psk\nTLSPSKIdentity=" + accents + "\nTLSPSKFile=/k",
       "ServerPort=10052 TLSConnect=psk@1 TLSPSKIdentity=" + accents + "@2 TLSPSKFile=/k@3"},
      {"TLSConnect=cert\nTLSCAFile=/ca.pem\nTLSCertFile=/c.pem\nTLSKeyFile=/k.pem\n"
       "TLSCRLFile=/crl.pem\nTLSServerCertIssuer=CN=Root CA,O=Exemplo\n"
       "TLSServerCertSubject=CN=zabbix # não é comentário\n",
       "ServerPort=10052 TLSConnect=cert@1 TLSCAFile=/ca.pem@2 TLSCertFile=/c.pem@3 "
       "TLSKeyFile=/k.pem@4 TLSCRLFile=/crl.pem@5 TLSServerCertIssuer=CN=Root CA,O=Exemplo@6 "
       "TLSServerCertSubject=CN=zabbix # não é comentário@7"},
      {"TLSKeyFile=/k\nTLSCertFile=/c\nTLSCAFile=/ca\nTLSConnect=cert",
       "ServerPort=10052 TLSConnect=cert@4 TLSCAFile=/ca@3 TLSCertFile=/c@2 TLSKeyFile=/k@1"},
      {"ServerPort=1", "ServerPort=1 TLSConnect=unencrypted@0"},
      {"ServerPort=65535", "ServerPort=65535 TLSConnect=unencrypted@0"},
      {"ServerPort=010", "ServerPort=10 TLSConnect=unencrypted@0"},
      {"ServerPort=00000065535", "ServerPort=65535 TLSConnect=unencrypted@0"},
      // Interface and SourceIP go with any TLSConnect.
      {"Interface=eth0\nSourceIP=192.0.2.5\nTLSConnect=psk\nTLSPSKIdentity=q\nTLSPSKFile=/k",
       "ServerPort=10052 TLSConnect=psk@3 TLSPSKIdentity=q@4 TLSPSKFile=/k@5 Interface=eth0@1 "
       "SourceIP=192.0.2.5@2"},
      {"Interface=any", kDefaults + " Interface=any@1"},
      {"Interface=bond0.100-a_B.9", kDefaults + " Interface=bond0.100-a_B.9@1"},
      {"SourceIP=2001:db8::1", kDefaults + " SourceIP=2001:db8::1@1"},
      {"SourceIP=::ffff:192.0.2.5", kDefaults + " SourceIP=::ffff:192.0.2.5@1"},
      // The buffer's keys, the agent 2's forms and bounds; period and file
      // also with the buffer off.
      {"EnablePersistentBuffer=1", kDefaults + " EnablePersistentBuffer=1"},
      {"EnableRanking=1", kDefaults + " EnableRanking=1"},
      {"EnableRanking=0", kDefaults},
      {"EnableQueryTables=1\nEnableResponseCodes=1",
       kDefaults + " EnableQueryTables=1 EnableResponseCodes=1"},
      {"EnableQueryTables=0\nEnableResponseCodes=0", kDefaults},
      {"EnablePersistentBuffer=0\nPersistentBufferPeriod=2h\nPersistentBufferFile=/var/b",
       kDefaults + " PersistentBufferFile=/var/b@3 PersistentBufferPeriod=2h(7200s)"},
      {"PersistentBufferPeriod=60", kDefaults + " PersistentBufferPeriod=60(60s)"},
      {"PersistentBufferPeriod=1m", kDefaults + " PersistentBufferPeriod=1m(60s)"},
      {"PersistentBufferPeriod=604800s", kDefaults + " PersistentBufferPeriod=604800s(604800s)"},
      {"PersistentBufferPeriod=168h", kDefaults + " PersistentBufferPeriod=168h(604800s)"},
      {"PersistentBufferPeriod=7d", kDefaults + " PersistentBufferPeriod=7d(604800s)"},
      {"PersistentBufferPeriod=90m", kDefaults + " PersistentBufferPeriod=90m(5400s)"},
  });
}

TEST(ParseConfiguration, RefusalsNameTheLineAndTheProblem) {
  const std::string port = "; use um número de 1 a 65535";
  const std::string modes = "; use unencrypted, psk ou cert";
  const std::string interface =
      "; use o nome de uma interface de rede: de 1 a 15 letras, dígitos, \".\", \"_\" ou \"-\"";
  const std::string address = "; use um endereço IPv4 ou IPv6 numérico";
  const std::string period =
      "; use de 1m a 168h: um número de segundos, ou seguido de s, m, h ou d";
  const std::string utf8 = "a linha não é texto UTF-8 válido; grave o arquivo em UTF-8";
  const std::string psk_start = "TLSConnect=psk\nTLSPSKFile=/k\nTLSPSKIdentity=";
  std::string accents;
  for (int i = 0; i < 65; ++i)
    accents += "é";
  expect_parsed({
      {std::string(65536, '#') + "\n", "quillet.conf: tamanho acima do limite de 65536 bytes"},
      {"ServerPort=1\n# nota\0\n"s, "quillet.conf:2: a linha contém um byte NUL"},
      {"# caf\xe9\n", "quillet.conf:1: " + utf8},
      {"ServerPort=\xc0\xb1", "quillet.conf:1: " + utf8},          // overlong '1'
      {"TLSPSKIdentity=\xed\xa0\x80", "quillet.conf:1: " + utf8},  // surrogate
      {"#\xf4\x90\x80\x80", "quillet.conf:1: " + utf8},            // above U+10FFFF
      {"\n\nTLSPSKIdentity=\xe2\x82", "quillet.conf:3: " + utf8},  // cut short
      {"TLSConnect psk\n",
       "quillet.conf:1: linha sem \"=\": \"TLSConnect psk\"; esperado Chave=Valor"},
      {" = psk", "quillet.conf:1: linha sem chave antes de \"=\""},
      {"Server=zabbix.example",
       "quillet.conf:1: chave desconhecida \"Server\"; as chaves aceitas são " + kKnownKeys},
      {"tlsconnect=psk",
       "quillet.conf:1: chave desconhecida \"tlsconnect\"; as chaves aceitas são " + kKnownKeys},
      {"ServerPort=10051\n#\nServerPort=10051\n",
       "quillet.conf:3: chave ServerPort repetida; já definida na linha 1"},
      {"TLSConnect=psk\nTLSPSKFile=\t \n", "quillet.conf:2: valor vazio para TLSPSKFile"},
      {"TLSConnect=PSK", "quillet.conf:1: valor \"PSK\" inválido para TLSConnect" + modes},
      {"ServerPort=0", "quillet.conf:1: valor \"0\" inválido para ServerPort" + port},
      {"ServerPort=65536", "quillet.conf:1: valor \"65536\" inválido para ServerPort" + port},
      {"ServerPort=99999999999999999999",
       "quillet.conf:1: valor \"99999999999999999999\" inválido para ServerPort" + port},
      {"ServerPort=4294977347",  // 2^32 + 10051
       "quillet.conf:1: valor \"4294977347\" inválido para ServerPort" + port},
      {"ServerPort=1x", "quillet.conf:1: valor \"1x\" inválido para ServerPort" + port},
      {"ServerPort=+5", "quillet.conf:1: valor \"+5\" inválido para ServerPort" + port},
      {"ServerPort=-1", "quillet.conf:1: valor \"-1\" inválido para ServerPort" + port},
      {"ServerPort=0x10", "quillet.conf:1: valor \"0x10\" inválido para ServerPort" + port},
      {"ServerPort=10051 # proxy",
       "quillet.conf:1: valor \"10051 # proxy\" inválido para ServerPort" + port},
      {"Interface=eth 0", "quillet.conf:1: valor \"eth 0\" inválido para Interface" + interface},
      {"Interface=bond0.100-a_B.9x",
       "quillet.conf:1: valor \"bond0.100-a_B.9x\" inválido para Interface" + interface},
      {"Interface=eth0;reboot",
       "quillet.conf:1: valor \"eth0;reboot\" inválido para Interface" + interface},
      {"Interface=$(reboot)",
       "quillet.conf:1: valor \"$(reboot)\" inválido para Interface" + interface},
      {"Interface=placaé", "quillet.conf:1: valor \"placaé\" inválido para Interface" + interface},
      {"SourceIP=dns01.example.org",
       "quillet.conf:1: valor \"dns01.example.org\" inválido para SourceIP" + address},
      {"SourceIP=192.0.2.256",
       "quillet.conf:1: valor \"192.0.2.256\" inválido para SourceIP" + address},
      {"SourceIP=192.0.2.5:10051",
       "quillet.conf:1: valor \"192.0.2.5:10051\" inválido para SourceIP" + address},
      {"SourceIP=[::1]", "quillet.conf:1: valor \"[::1]\" inválido para SourceIP" + address},
      {"EnablePersistentBuffer=yes",
       "quillet.conf:1: valor \"yes\" inválido para EnablePersistentBuffer; use 0 ou 1"},
      {"EnablePersistentBuffer=01",
       "quillet.conf:1: valor \"01\" inválido para EnablePersistentBuffer; use 0 ou 1"},
      {"PersistentBufferPeriod=59",
       "quillet.conf:1: valor \"59\" inválido para PersistentBufferPeriod" + period},
      {"PersistentBufferPeriod=169h",
       "quillet.conf:1: valor \"169h\" inválido para PersistentBufferPeriod" + period},
      {"PersistentBufferPeriod=8d",
       "quillet.conf:1: valor \"8d\" inválido para PersistentBufferPeriod" + period},
      {"PersistentBufferPeriod=99999999999d",
       "quillet.conf:1: valor \"99999999999d\" inválido para PersistentBufferPeriod" + period},
      {"PersistentBufferPeriod=1w",
       "quillet.conf:1: valor \"1w\" inválido para PersistentBufferPeriod" + period},
      {"PersistentBufferPeriod=h",
       "quillet.conf:1: valor \"h\" inválido para PersistentBufferPeriod" + period},
      {"PersistentBufferPeriod=1 h",
       "quillet.conf:1: valor \"1 h\" inválido para PersistentBufferPeriod" + period},
      {"PersistentBufferPeriod=-1h",
       "quillet.conf:1: valor \"-1h\" inválido para PersistentBufferPeriod" + period},
      {"PersistentBufferFile=quillet.buffer",
       "quillet.conf:1: PersistentBufferFile \"quillet.buffer\" não é um caminho absoluto; "
       "indique o caminho completo, a partir de /"},
      {"TLSConnect=cert\nTLSCAFile=ca.pem\n",
       "quillet.conf:2: TLSCAFile \"ca.pem\" não é um caminho absoluto; indique o caminho "
       "completo, a partir de /"},
      {psk_start + std::string(129, 'q'),
       "quillet.conf:3: TLSPSKIdentity com 129 bytes; o limite é 128"},
      {psk_start + accents, "quillet.conf:3: TLSPSKIdentity com 130 bytes; o limite é 128"},
      // Keys of another TLSConnect, at their line, the earliest first, before
      // missing keys and after every line's own problems.
      {"TLSPSKFile=/k\n",
       "quillet.conf:1: TLSPSKFile só se usa com TLSConnect=psk, mas TLSConnect não foi "
       "definido (unencrypted)"},
      {"TLSPSKFile=/k\nServerPort=0\n",
       "quillet.conf:2: valor \"0\" inválido para ServerPort" + port},
      {"TLSConnect=unencrypted\nTLSCRLFile=/crl\n",
       "quillet.conf:2: TLSCRLFile só se usa com TLSConnect=cert, mas TLSConnect é unencrypted "
       "(linha 1)"},
      {"TLSConnect=cert\nTLSCAFile=/ca\nTLSCertFile=/c\nTLSKeyFile=/k\nTLSPSKIdentity=q\n",
       "quillet.conf:5: TLSPSKIdentity só se usa com TLSConnect=psk, mas TLSConnect é cert "
       "(linha 1)"},
      {"TLSConnect=psk\nTLSCertFile=/c\nTLSCAFile=/ca\nTLSKeyFile=/k\n",
       "quillet.conf:2: TLSCertFile só se usa com TLSConnect=cert, mas TLSConnect é psk (linha "
       "1)"},
      {"TLSConnect=psk\nTLSPSKIdentity=q\n",
       "quillet.conf:1: TLSConnect=psk requer TLSPSKIdentity e TLSPSKFile; falta TLSPSKFile"},
      {"# x\nTLSConnect=cert\nTLSCAFile=/ca\n",
       "quillet.conf:2: TLSConnect=cert requer TLSCAFile, TLSCertFile e TLSKeyFile; faltam "
       "TLSCertFile e TLSKeyFile"},
      // What reaches a message is fit for the console.
      {"TLSConnect=\x1b[31mpsk\x7f",
       "quillet.conf:1: valor \"?[31mpsk?\" inválido para TLSConnect" + modes},
      {"TLSConnect=p\tsk\xc2\x9b"
       "b\xc2\xa0",
       "quillet.conf:1: valor \"p?sk?b\xc2\xa0\" inválido para TLSConnect" + modes},
      {"TLSConnect=" + std::string(300, 'x'), "quillet.conf:1: valor \"" + std::string(256, 'x') +
                                                  "...\" inválido para TLSConnect" + modes},
      {"TLSConnect=" + std::string(255, 'x') + "é", "quillet.conf:1: valor \"" +
                                                        std::string(255, 'x') +
                                                        "...\" inválido para TLSConnect" + modes},
  });

  const ConfigError error("/etc/\x1b[2Jquillet.conf", 0, "x\ty");
  EXPECT_STREQ(error.what(), "/etc/?[2Jquillet.conf: x?y");
  EXPECT_EQ(error.file(), "/etc/\x1b[2Jquillet.conf");
  EXPECT_EQ(error.line(), 0);
  const ConfigError at_line("quillet.conf", 7, "problema");
  EXPECT_STREQ(at_line.what(), "quillet.conf:7: problema");
  EXPECT_EQ(at_line.line(), 7);
}

// Puts `content` at `path` with exactly `mode`, whatever the umask.
void put(const fs::path& path, const std::string& content, mode_t mode) {
  std::ofstream(path, std::ios::binary) << content;
  ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

// Prepares the files of a case in its directory; returns the path to read.
using Prepare = std::function<fs::path(const fs::path& dir)>;

const std::string kKey = "00112233445566778899AaBbCcDdEeFf";
const std::string kKeyBytes = "00112233445566778899aabbccddeeff";

// A psk configuration with mode `conf_mode` whose PSK file holds `key` with `psk_mode`.
Prepare psk_setup(mode_t conf_mode, const std::string& key, mode_t psk_mode) {
  return [=](const fs::path& dir) {
    put(dir / "psk", key, psk_mode);
    put(dir / "quillet.conf",
        "TLSConnect=psk\nTLSPSKIdentity=quillet\nTLSPSKFile=" + (dir / "psk").string() + "\n",
        conf_mode);
    return dir / "quillet.conf";
  };
}

// "porta P chave HEX", "ausente", or the report of the error.
std::string read_outcome(const fs::path& conf) {
  std::string outcome = "ausente";
  const std::string failure = failure_of<ConfigError>([&] {
    const auto c = read_configuration(conf);
    if (!c) return;
    outcome = "porta " + std::to_string(c->server_port) + " chave ";
    for (char byte : c->psk) {
      outcome += kHexDigits[static_cast<unsigned char>(byte) >> 4];
      outcome += kHexDigits[byte & 0xF];
    }
  });
  return failure == kNoFailure ? outcome : failure;
}

std::string filled(std::string text, const fs::path& conf, const fs::path& psk) {
  for (const auto& [mark, path] : {std::pair{"{conf}", conf}, std::pair{"{psk}", psk}}) {
    for (std::size_t at = text.find(mark); at != std::string::npos; at = text.find(mark))
      text.replace(at, std::string_view(mark).size(), path.string());
  }
  return text;
}

TEST(ReadConfiguration, FilesAreCheckedBeforeTheyAreRead) {
  struct FileRow {
    std::string label;
    Prepare prepare;
    std::string expected;  // {conf} and {psk} stand for the paths
    bool needs_root = false;
  };
  const std::string at_psk = "{conf}:3: arquivo {psk}: ";
  const std::string digits = "; são necessários de 32 a 512";
  const std::string not_hex =
      " não é um dígito hexadecimal; o arquivo deve conter só a chave, em hexadecimal";
  const std::string ok = "porta 10052 chave " + kKeyBytes;
  std::string long_key;
  for (int i = 0; i < 16; ++i)
    long_key += kKeyBytes;
  const Prepare only_conf = [](const fs::path& dir) { return dir / "quillet.conf"; };
  const FileRow rows[] = {
      {"absent", only_conf, "ausente"},
      {"link to nothing",
       [](const fs::path& dir) {
         fs::create_symlink(dir / "nothing", dir / "quillet.conf");
         return dir / "quillet.conf";
       },
       "{conf}: é um link simbólico para um caminho que não existe"},
      {"under a file",
       [](const fs::path& dir) {
         put(dir / "plain", "", 0644);
         return dir / "plain" / "quillet.conf";
       },
       "{conf}: não foi possível abrir: Not a directory"},
      {"0644, PSK 0600", psk_setup(0644, kKey + "\n", 0600), ok},
      {"0600, PSK 0400", psk_setup(0600, kKey, 0400), ok},
      {"0664", psk_setup(0664, kKey, 0600),
       "{conf}: permissões 0664 permitem escrita por grupo ou outros; use chmod 600 (ou 644)"},
      {"0646", psk_setup(0646, kKey, 0600),
       "{conf}: permissões 0646 permitem escrita por grupo ou outros; use chmod 600 (ou 644)"},
      {"directory",
       [](const fs::path& dir) {
         fs::create_directory(dir / "quillet.conf");
         return dir / "quillet.conf";
       },
       "{conf}: não é um arquivo comum (é um diretório)"},
      {"FIFO",
       [](const fs::path& dir) {
         EXPECT_EQ(::mkfifo((dir / "quillet.conf").c_str(), 0644), 0);
         return dir / "quillet.conf";
       },
       "{conf}: não é um arquivo comum (é um FIFO)"},
      {"owned by another user",
       [](const fs::path& dir) {
         put(dir / "quillet.conf", "ServerPort=10051\n", 0644);
         EXPECT_EQ(::chown((dir / "quillet.conf").c_str(), 12345, static_cast<gid_t>(-1)), 0);
         return dir / "quillet.conf";
       },
       "{conf}: pertence ao uid 12345; deve pertencer a root; use chown root", true},
      {"link to a good file",
       [](const fs::path& dir) {
         put(dir / "real.conf", "ServerPort=10051\n", 0644);
         fs::create_symlink(dir / "real.conf", dir / "quillet.conf");
         return dir / "quillet.conf";
       },
       "porta 10051 chave "},
      {"1 GiB, not read",
       [](const fs::path& dir) {
         put(dir / "quillet.conf", "", 0644);
         fs::resize_file(dir / "quillet.conf", std::uintmax_t{1} << 30);
         return dir / "quillet.conf";
       },
       "{conf}: tamanho acima do limite de 65536 bytes"},
      {"parsed",
       [](const fs::path& dir) {
         put(dir / "quillet.conf", "#\nServerPort=0\n", 0644);
         return dir / "quillet.conf";
       },
       "{conf}:2: valor \"0\" inválido para ServerPort; use um número de 1 a 65535"},
      {"PSK 0640", psk_setup(0644, kKey, 0640),
       at_psk + "permissões 0640 dão acesso a grupo ou outros; use chmod 600"},
      {"PSK 0604", psk_setup(0644, kKey, 0604),
       at_psk + "permissões 0604 dão acesso a grupo ou outros; use chmod 600"},
      {"PSK missing",
       [](const fs::path& dir) {
         fs::path conf = psk_setup(0644, kKey, 0600)(dir);
         fs::remove(dir / "psk");
         return conf;
       },
       at_psk + "não foi possível abrir: No such file or directory"},
      {"PSK FIFO",
       [](const fs::path& dir) {
         fs::path conf = psk_setup(0644, kKey, 0600)(dir);
         fs::remove(dir / "psk");
         EXPECT_EQ(::mkfifo((dir / "psk").c_str(), 0600), 0);
         return conf;
       },
       at_psk + "não é um arquivo comum (é um FIFO)"},
      {"PSK empty", psk_setup(0644, "", 0600),
       at_psk + "chave PSK com 0 dígitos hexadecimais" + digits},
      {"PSK 30 digits", psk_setup(0644, kKey.substr(2), 0600),
       at_psk + "chave PSK com 30 dígitos hexadecimais" + digits},
      {"PSK 33 digits", psk_setup(0644, kKey + "0", 0600),
       at_psk +
           "chave PSK com 33 dígitos hexadecimais; o número deve ser par (2 dígitos por byte)"},
      {"PSK 514 digits", psk_setup(0644, long_key + "00", 0600),
       at_psk + "chave PSK com 514 dígitos hexadecimais" + digits},
      {"PSK 512 digits, CRLF", psk_setup(0644, long_key + "\r\n", 0600),
       "porta 10052 chave " + long_key},
      {"PSK blanks and CRLF", psk_setup(0644, kKey + " \t\r\n", 0600), ok},
      {"PSK non-hex", psk_setup(0644, kKey.substr(0, 30) + "zz", 0600),
       at_psk + "o byte 31" + not_hex},
      {"PSK two line ends", psk_setup(0644, kKey + "\n\n", 0600), at_psk + "o byte 33" + not_hex},
      {"PSK leading blank", psk_setup(0644, " " + kKey, 0600), at_psk + "o byte 1" + not_hex},
      {"PSK 1025 bytes", psk_setup(0644, kKey + std::string(993, ' '), 0600),
       at_psk + "tamanho acima do limite de 1024 bytes"},
  };
  for (const FileRow& row : rows) {
    if (row.needs_root && ::geteuid() != 0) continue;  // only root can give a file away
    const ScratchDir dir;
    const fs::path conf = row.prepare(dir.path());
    // A read that blocks on a FIFO is a failure; a writer then lets it end.
    auto call = std::async(std::launch::async, [&] { return read_outcome(conf); });
    if (call.wait_for(std::chrono::seconds(5)) == std::future_status::timeout) {
      ADD_FAILURE() << row.label << ": read_configuration hung";
      for (const fs::path& fifo : {conf, dir.path() / "psk"})
        Fd(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
    }
    EXPECT_EQ(call.get(), filled(row.expected, conf, dir.path() / "psk")) << row.label;
  }
}

}  // namespace
}  // namespace quillet
