#include "tls.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "failure_of.h"
#include "os.h"
#include "scratch.h"
#include "trapper.h"
#include "zabbix_sender.h"

namespace quillet {
namespace {

namespace fs = std::filesystem;
using ms = std::chrono::milliseconds;
using testing::failure_of;
using testing::Trapper;
using testing::TrapperOptions;

const std::string kIdentity = "dns01 quillet";
const std::string kKey(32, '\x5a');

// One test PKI for the whole suite (tests/support/test_pki.sh).
class Tls : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The program ignores SIGPIPE from its start; a server that drops the
    // connection mid-handshake must not end the test run either.
    ::signal(SIGPIPE, SIG_IGN);
    pki_ = new testing::ScratchDir;
    const std::string command = "bash " QUILLET_TEST_PKI " " + pki_->path().string();
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }
  static void TearDownTestSuite() {
    delete pki_;
    pki_ = nullptr;
  }
  static std::string pki(const std::string& name) { return (pki_->path() / name).string(); }

  static ConfiguredValue at(int line, std::string value) {
    return ConfiguredValue{std::move(value), line};
  }
  static Configuration psk_config(std::string key = kKey, std::string identity = kIdentity) {
    Configuration c;
    c.file = "/etc/quillet/quillet.conf";
    c.tls_connect = TlsConnect::psk;
    c.tls_connect_line = 1;
    c.psk_identity = at(2, std::move(identity));
    c.psk_file = at(3, "/etc/quillet/psk.key");
    c.psk = std::move(key);
    return c;
  }
  static Configuration cert_config() {
    Configuration c;
    c.file = "/etc/quillet/quillet.conf";
    c.tls_connect = TlsConnect::cert;
    c.tls_connect_line = 1;
    c.ca_file = at(2, pki("ca.crt"));
    c.cert_file = at(3, pki("client.crt"));
    c.key_file = at(4, pki("client.key"));
    return c;
  }
  static TrapperOptions psk_trapper() {
    TrapperOptions o;
    o.tls.emplace();
    o.tls->psk_identity = kIdentity;
    o.tls->psk = kKey;
    return o;
  }
  static TrapperOptions cert_trapper(const std::string& client_ca = "ca.crt") {
    TrapperOptions o;
    o.tls.emplace();
    o.tls->cert_file = pki("server.crt");
    o.tls->key_file = pki("server.key");
    o.tls->ca_file = pki(client_ca);
    return o;
  }

  // One delivery through `client`: "<delivered>" or the failure's description
  // without the address.
  static std::string deliver(int port, const TlsClient& client) {
    ZabbixSender sender({{"127.0.0.1", port}}, ms(1000), ms(1000), &client);
    const std::string what = failure_of<ExchangeError>([&] {
      sender.send({ZabbixMetric{"dns-lab", "contDns[192.0.2.10]", std::int64_t{152}}});
    });
    if (what == testing::kNoFailure) return "<delivered>";
    const std::string where = "127.0.0.1:" + std::to_string(port) + ": ";
    return what.starts_with(where) ? what.substr(where.size()) : what;
  }

  static testing::ScratchDir* pki_;
};

testing::ScratchDir* Tls::pki_ = nullptr;

// `got` when it is `want` with kAnyAlert standing for an alert named in plain
// words (whichever one this OpenSSL sends), else `got` itself.
const std::string kAnyAlert = "<alert>";
std::string with_any_alert(const std::string& got, const std::string& want) {
  const std::size_t at = want.find(kAnyAlert);
  if (at == std::string::npos) return got;
  const std::string head = want.substr(0, at), tail = want.substr(at + kAnyAlert.size());
  if (got.size() < head.size() + tail.size() || !got.starts_with(head) || !got.ends_with(tail))
    return got;
  const std::string name = got.substr(head.size(), got.size() - head.size() - tail.size());
  const bool words = !name.empty() && name.front() != ' ' && name.back() != ' ' &&
                     name.find("  ") == std::string::npos &&
                     std::all_of(name.begin(), name.end(),
                                 [](char c) { return (c >= 'a' && c <= 'z') || c == ' '; });
  return words && name != "unknown" ? want : got;
}

TEST_F(Tls, HandshakesAndTheirFailuresInPlainWords) {
  const std::string refused = "o servidor recusou o handshake TLS (alerta ";
  Configuration other_ca = cert_config();
  other_ca.ca_file.value = pki("other-ca.crt");
  Configuration revoked = cert_config();
  revoked.crl_file = at(5, pki("crl-revoked.pem"));
  Configuration crl_ok = cert_config();
  crl_ok.crl_file = at(5, pki("crl.pem"));
  Configuration names_ok = cert_config();
  names_ok.server_cert_issuer = at(6, "CN=quillet test CA,O=quillet tests");
  names_ok.server_cert_subject = at(7, "CN=quillet test server,O=quillet tests");
  Configuration wrong_issuer = cert_config();
  wrong_issuer.server_cert_issuer = at(6, "CN=quillet test CA");
  Configuration wrong_subject = cert_config();
  wrong_subject.server_cert_subject = at(7, "CN=someone\x1b[2J,O=quillet tests");
  struct Row {
    std::string what;
    Configuration config;
    TrapperOptions server;
    std::string outcome;
  };
  const Row rows[] = {
      {"psk", psk_config(), psk_trapper(), "<delivered>"},
      // OpenSSL 3.0 answers "illegal parameter", 3.5 "decrypt error".
      {"psk, another key", psk_config(std::string(32, '\x5b')), psk_trapper(),
       refused + "\"" + kAnyAlert + "\"): confira a identidade PSK \"dns01 quillet\" e a chave"},
      {"psk, unknown identity", psk_config(kKey, "dns02"), psk_trapper(),
       refused + "\"handshake failure\"): confira a identidade PSK \"dns02\" e a chave"},
      {"cert", cert_config(), cert_trapper(), "<delivered>"},
      {"cert, CRL without the server", crl_ok, cert_trapper(), "<delivered>"},
      {"cert, issuer and subject", names_ok, cert_trapper(), "<delivered>"},
      {"cert, server of another CA", other_ca, cert_trapper(),
       "o certificado do servidor não foi verificado: self-signed certificate in certificate "
       "chain"},
      {"cert, server revoked", revoked, cert_trapper(),
       "o certificado do servidor não foi verificado: certificate revoked"},
      {"cert, another issuer", wrong_issuer, cert_trapper(),
       "o emissor do certificado do servidor é \"CN=quillet test CA,O=quillet tests\", não "
       "\"CN=quillet test CA\" (TLSServerCertIssuer)"},
      {"cert, another subject", wrong_subject, cert_trapper(),
       "o titular do certificado do servidor é \"CN=quillet test server,O=quillet tests\", não "
       "\"CN=someone?[2J,O=quillet tests\" (TLSServerCertSubject)"},
      {"cert, this host's certificate refused", cert_config(), cert_trapper("other-ca.crt"),
       "o servidor recusou o certificado deste host (alerta \"unknown CA\")"},
      {"psk against a server without TLS", psk_config(), TrapperOptions{},
       "falha no handshake TLS: Connection reset by peer"},
  };
  for (const Row& row : rows) {
    Trapper trapper(row.server);
    const TlsClient client(row.config);
    EXPECT_EQ(with_any_alert(deliver(trapper.port(), client), row.outcome), row.outcome)
        << row.what;
    if (row.outcome == "<delivered>") {
      ASSERT_EQ(trapper.requests().size(), 1u) << row.what;
      EXPECT_EQ(trapper.requests()[0].data.at(0).value, "152") << row.what;
    }
  }
}

TEST_F(Tls, AStalledHandshakeEndsWithTheConnectBound) {
  // A listener that never accepts: the connection is made, nothing answers.
  int port = 0;
  const Fd listener = testing::idle_loopback_listener(4, port);
  const TlsClient client(psk_config());
  ZabbixSender sender({{"127.0.0.1", port}}, ms(300), ms(1000), &client);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(failure_of<ExchangeError>([&] {
              sender.send({ZabbixMetric{"h", "k", std::int64_t{1}}});
            }),
            "127.0.0.1:" + std::to_string(port) + ": tempo esgotado no handshake TLS (300 ms)");
  EXPECT_LT(std::chrono::steady_clock::now() - start, ms(900));
}

TEST_F(Tls, LaterDeliveriesOfARunResumeTheSession) {
  // With a certificate, resuming spares the server its signature. (A PSK
  // handshake counts as resumed by itself.)
  Trapper trapper(cert_trapper());
  const TlsClient client(cert_config());
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(deliver(trapper.port(), client), "<delivered>");
  EXPECT_EQ(trapper.requests().size(), 3u);
  EXPECT_EQ(trapper.resumed_sessions(), 2);
}

TEST_F(Tls, ARedirectIsFollowedWithTheSameSettings) {
  const std::pair<Configuration, TrapperOptions> rows[] = {{psk_config(), psk_trapper()},
                                                           {cert_config(), cert_trapper()}};
  for (const auto& [config, server] : rows) {
    Trapper target(server);
    TrapperOptions redirecting = server;
    redirecting.script = {testing::TrapperBehaviour::redirect};
    redirecting.redirect_address = "127.0.0.1:" + std::to_string(target.port());
    Trapper node(redirecting);
    const TlsClient client(config);
    ZabbixSender sender({{"127.0.0.1", node.port()}}, ms(1000), ms(1000), &client);
    for (std::int64_t i = 0; i < 2; ++i)
      EXPECT_EQ(sender.send({ZabbixMetric{"h", "k", i}}).response, "success");
    EXPECT_EQ(node.requests().size(), 1u);
    EXPECT_EQ(target.requests().size(), 2u);
    EXPECT_EQ(node.failed_handshakes() + target.failed_handshakes(), 0);
  }
}

TEST_F(Tls, FilesThatDoNotLoadNameTheirLine) {
  testing::ScratchDir dir;
  const auto junk = dir.write("junk.pem", "not a certificate\n").string();
  fs::permissions(junk, fs::perms::owner_read | fs::perms::owner_write);
  const auto open_key = dir.write("open.key", testing::read_file(pki("client.key"))).string();
  fs::permissions(open_key, fs::perms::group_read | fs::perms::others_read, fs::perm_options::add);
  struct Row {
    void (*spoil)(Configuration&, const std::string& junk, const std::string& open_key);
    std::string message;
  };
  const std::string file = "/etc/quillet/quillet.conf:";
  const Row rows[] = {
      {[](Configuration& c, const std::string& j, const std::string&) { c.ca_file.value = j; },
       file + "2: TLSCAFile " + junk + ": não foi possível carregar as CAs ("},
      {[](Configuration& c, const std::string& j, const std::string&) { c.cert_file.value = j; },
       file + "3: TLSCertFile " + junk + ": não foi possível carregar o certificado ("},
      {[](Configuration& c, const std::string& j, const std::string&) { c.key_file.value = j; },
       file + "4: TLSKeyFile " + junk + ": não é uma chave privada PEM sem senha ("},
      {[](Configuration& c, const std::string&, const std::string&) {
         c.key_file.value = pki("server.key");
       },
       file + "4: TLSKeyFile " + pki("server.key") +
           ": a chave não corresponde ao certificado de TLSCertFile ("},
      {[](Configuration& c, const std::string& j, const std::string&) { c.crl_file = at(5, j); },
       file + "5: TLSCRLFile " + junk + ": não foi possível carregar as CRLs ("},
      // The private key is checked like the PSK file: the reader's message.
      {[](Configuration& c, const std::string&, const std::string& k) { c.key_file.value = k; },
       file + "4: arquivo " + open_key + ": permissões 0644 dão acesso a grupo ou outros"},
  };
  for (const Row& row : rows) {
    Configuration config = cert_config();
    row.spoil(config, junk, open_key);
    const std::string got = failure_of<ConfigError>([&] { TlsClient client(config); });
    EXPECT_TRUE(got.starts_with(row.message)) << got;
  }
}

}  // namespace
}  // namespace quillet
