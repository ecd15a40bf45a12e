#include "tls.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

#include "format.h"

namespace quillet {

namespace {

constexpr std::size_t kMaxKeyFile = std::size_t{64} * 1024;

struct SslCtxFree {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

// The reason of the oldest error OpenSSL queued, and the queue emptied.
std::string openssl_reason() {
  const unsigned long first = ERR_get_error();
  ERR_clear_error();
  if (first == 0) return "sem detalhe";
  const char* reason = ERR_reason_error_string(first);
  return reason ? reason : "erro " + std::to_string(ERR_GET_REASON(first));
}

// A private key that is protected by a passphrase cannot be used unattended:
// no prompt, the load fails.
int no_passphrase(char* /*buf*/, int /*size*/, int /*rwflag*/, void* /*userdata*/) {
  return -1;
}

// Certificate names as Zabbix writes and compares them: RFC 4514 order and
// escapes, characters outside ASCII as they are.
std::string name_text(const X509_NAME* name) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
  if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0) {
    return "";
  }
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

}  // namespace

struct TlsClient::State {
  TlsConnect mode = TlsConnect::unencrypted;
  std::string psk_identity;
  std::string psk;
  ConfiguredValue issuer;
  ConfiguredValue subject;
  std::unique_ptr<SSL_CTX, SslCtxFree> ctx;
  SSL_SESSION* last = nullptr;  // to resume

  State() = default;
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  ~State() {
    if (last) SSL_SESSION_free(last);
    OPENSSL_cleanse(psk.data(), psk.size());
  }

  void keep(SSL_SESSION* session) {
    if (last) SSL_SESSION_free(last);
    last = session;
  }
};

namespace {

unsigned int give_psk(SSL* ssl, const char* /*hint*/, char* identity, unsigned int max_identity_len,
                      unsigned char* psk, unsigned int max_psk_len) {
  const auto* state =
      static_cast<const TlsClient::State*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
  if (state->psk_identity.size() >= max_identity_len || state->psk.size() > max_psk_len) return 0;
  std::memcpy(identity, state->psk_identity.c_str(), state->psk_identity.size() + 1);
  std::memcpy(psk, state->psk.data(), state->psk.size());
  return static_cast<unsigned int>(state->psk.size());
}

// Raises the ConfigError for a file named at `where` that did not load.
[[noreturn]] void refuse_file(const Configuration& config, const char* key,
                              const ConfiguredValue& where, const std::string& what) {
  throw ConfigError(config.file, where.line,
                    std::string(key) + " " + console_safe(where.value) + ": " + what + " (" +
                        openssl_reason() + ")");
}

void load_certificates(SSL_CTX* ctx, const Configuration& config) {
  if (SSL_CTX_load_verify_file(ctx, config.ca_file.value.c_str()) != 1) {
    refuse_file(config, "TLSCAFile", config.ca_file, "não foi possível carregar as CAs");
  }
  if (SSL_CTX_use_certificate_chain_file(ctx, config.cert_file.value.c_str()) != 1) {
    refuse_file(config, "TLSCertFile", config.cert_file, "não foi possível carregar o certificado");
  }
  std::string pem = read_secret_file(config.key_file, config.file, kMaxKeyFile);
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  std::unique_ptr<EVP_PKEY, PkeyFree> key(
      bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, no_passphrase, nullptr) : nullptr);
  OPENSSL_cleanse(pem.data(), pem.size());
  if (!key) {
    refuse_file(config, "TLSKeyFile", config.key_file, "não é uma chave privada PEM sem senha");
  }
  if (SSL_CTX_use_PrivateKey(ctx, key.get()) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
    refuse_file(config, "TLSKeyFile", config.key_file,
                "a chave não corresponde ao certificado de TLSCertFile");
  }
  if (config.crl_file.given()) {
    X509_STORE* store = SSL_CTX_get_cert_store(ctx);
    X509_LOOKUP* lookup = X509_STORE_add_lookup(store, X509_LOOKUP_file());
    if (!lookup ||
        X509_load_crl_file(lookup, config.crl_file.value.c_str(), X509_FILETYPE_PEM) <= 0) {
      refuse_file(config, "TLSCRLFile", config.crl_file, "não foi possível carregar as CRLs");
    }
    // As Zabbix does: every certificate of the chain is checked against the CRLs.
    X509_STORE_set_flags(store, X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL);
  }
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
}

// What an alert from the server means, when OpenSSL's reason `r` is one.
std::optional<std::string> alert_failure(int r, const TlsClient::State& state) {
  if (r < SSL_AD_REASON_OFFSET || r >= SSL_AD_REASON_OFFSET + 256) return std::nullopt;
  const int alert = r - SSL_AD_REASON_OFFSET;
  const std::string shown = "(alerta \"" + std::string(SSL_alert_desc_string_long(alert)) + "\")";
  if (state.mode == TlsConnect::psk) {
    return "o servidor recusou o handshake TLS " + shown + ": confira a identidade PSK \"" +
           console_safe(state.psk_identity) + "\" e a chave";
  }
  switch (alert) {
    case SSL_AD_BAD_CERTIFICATE:
    case SSL_AD_UNSUPPORTED_CERTIFICATE:
    case SSL_AD_CERTIFICATE_REVOKED:
    case SSL_AD_CERTIFICATE_EXPIRED:
    case SSL_AD_CERTIFICATE_UNKNOWN:
    case SSL_AD_UNKNOWN_CA:
    case SSL_AD_ACCESS_DENIED:
    case SSL_AD_CERTIFICATE_REQUIRED:
      return "o servidor recusou o certificado deste host " + shown;
    default:
      return "o servidor recusou o handshake TLS " + shown;
  }
}

// A Zabbix server that does not take this host's key or certificate closes
// the connection without an alert: what it refused is all the client can say.
std::string closed_in_handshake(const TlsClient::State& state) {
  std::string what = "o servidor encerrou a conexão durante o handshake TLS: ";
  if (state.mode == TlsConnect::psk) {
    return what + "ele não aceitou a identidade PSK \"" + console_safe(state.psk_identity) +
           "\" ou a chave";
  }
  return what + "ele não aceitou o certificado deste host ou não tem TLS com certificados";
}

// What a failed handshake means, for the admin who reads the red line.
std::string handshake_failure(SSL* ssl, int error, const TlsClient::State& state) {
  const int saved_errno = errno;
  const unsigned long code = ERR_peek_error();
  const std::string reason = openssl_reason();
  if (error == SSL_ERROR_ZERO_RETURN) return closed_in_handshake(state);
  if (error == SSL_ERROR_SYSCALL) {
    if (code == 0 && saved_errno != 0) {
      return std::string("falha no handshake TLS: ") + std::strerror(saved_errno);
    }
    return closed_in_handshake(state);
  }
  const int r = ERR_GET_REASON(code);
  if (r == SSL_R_UNEXPECTED_EOF_WHILE_READING) return closed_in_handshake(state);
  if (r == SSL_R_CERTIFICATE_VERIFY_FAILED) {
    return std::string("o certificado do servidor não foi verificado: ") +
           X509_verify_cert_error_string(SSL_get_verify_result(ssl));
  }
  if (r == SSL_R_WRONG_VERSION_NUMBER || r == SSL_R_PACKET_LENGTH_TOO_LONG ||
      r == SSL_R_RECORD_LENGTH_MISMATCH) {
    return "o servidor não respondeu em TLS (" + reason + ")";
  }
  if (const std::optional<std::string> alert = alert_failure(r, state)) return *alert;
  return "falha no handshake TLS: " + reason;
}

// Raises ExchangeError when the server's certificate names someone else than the
// configuration asks for; compared byte for byte, as Zabbix does.
void check_name(const ConfiguredValue& wanted, const X509_NAME* name, const char* what,
                const char* key) {
  const std::string found = name ? name_text(name) : std::string();
  if (found == wanted.value) return;
  throw ExchangeError(std::string(what) + " do certificado do servidor é \"" + console_safe(found) +
                      "\", não \"" + console_safe(wanted.value) + "\" (" + key + ")");
}

// A failed read or write after the handshake: in TLS 1.3 the server's verdict on
// this host's certificate arrives only then.
std::string io_failure(const char* what, const TlsClient::State& state) {
  const int r = ERR_GET_REASON(ERR_peek_error());
  if (const std::optional<std::string> alert = alert_failure(r, state)) {
    ERR_clear_error();
    return *alert;
  }
  return std::string(what) + " (TLS): " + openssl_reason();
}

}  // namespace

TlsClient::TlsClient(const Configuration& config) : state_(std::make_unique<State>()) {
  State& state = *state_;
  state.mode = config.tls_connect;
  state.ctx.reset(SSL_CTX_new(TLS_client_method()));
  SSL_CTX* ctx = state.ctx.get();
  if (!ctx) {
    throw ConfigError(config.file, config.tls_connect_line,
                      "não foi possível preparar o TLS (" + openssl_reason() + ")");
  }
  SSL_CTX_set_app_data(ctx, &state);
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  // A server that closes without close_notify after its reply ends the stream.
  SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_default_passwd_cb(ctx, no_passphrase);
  if (config.tls_connect == TlsConnect::psk) {
    state.psk_identity = config.psk_identity.value;
    state.psk = config.psk;
    // TLS 1.2 offers the PSK suites; TLS 1.3 takes the key through the same
    // callback.
    if (SSL_CTX_set_cipher_list(ctx, "ECDHEPSK:PSK:!eNULL:!aNULL:!3DES:!RC4:!MD5") != 1) {
      throw ConfigError(config.file, config.tls_connect_line,
                        "não foi possível preparar o TLS com PSK (" + openssl_reason() + ")");
    }
    SSL_CTX_set_psk_client_callback(ctx, give_psk);
  } else {
    state.issuer = config.server_cert_issuer;
    state.subject = config.server_cert_subject;
    load_certificates(ctx, config);
  }
}

TlsClient::~TlsClient() = default;

TlsSession TlsClient::open(int fd, Clock::time_point deadline,
                           std::chrono::milliseconds bound) const {
  SSL* ssl = SSL_new(state_->ctx.get());
  if (!ssl || SSL_set_fd(ssl, fd) != 1) {
    SSL_free(ssl);
    throw ExchangeError("não foi possível iniciar o TLS (" + openssl_reason() + ")");
  }
  if (state_->last) SSL_set_session(ssl, state_->last);
  TlsSession session(ssl, *state_);
  for (IoWait wait; (wait = session.handshake_step()) != IoWait::none;) {
    if (!wait_ready(fd, wait, deadline)) {
      throw ExchangeError("tempo esgotado no handshake TLS (" + describe_bound(bound) + ")");
    }
  }
  return session;
}

TlsSession::TlsSession(TlsSession&& other) noexcept
    : ssl_(std::exchange(other.ssl_, nullptr)),
      client_(other.client_),
      established_(other.established_) {}

TlsSession::~TlsSession() {
  if (!ssl_) return;
  if (established_) {
    // One try at close_notify; the connection is dropped either way.
    SSL_shutdown(ssl_);
    SSL_SESSION* session = SSL_get1_session(ssl_);
    if (session && SSL_SESSION_is_resumable(session) == 1) {
      client_->keep(session);
    } else if (session) {
      SSL_SESSION_free(session);
    }
  }
  ERR_clear_error();
  SSL_free(ssl_);
}

int TlsSession::fd() const {
  return SSL_get_fd(ssl_);
}

IoWait TlsSession::handshake_step() {
  ERR_clear_error();
  errno = 0;
  const int rc = SSL_connect(ssl_);
  if (rc != 1) {
    const int error = SSL_get_error(ssl_, rc);
    if (error == SSL_ERROR_WANT_READ) return IoWait::read;
    if (error == SSL_ERROR_WANT_WRITE) return IoWait::write;
    throw ExchangeError(handshake_failure(ssl_, error, *client_));
  }
  const X509* peer = SSL_get0_peer_certificate(ssl_);
  if (client_->issuer.given()) {
    check_name(client_->issuer, peer ? X509_get_issuer_name(peer) : nullptr, "o emissor",
               "TLSServerCertIssuer");
  }
  if (client_->subject.given()) {
    check_name(client_->subject, peer ? X509_get_subject_name(peer) : nullptr, "o titular",
               "TLSServerCertSubject");
  }
  established_ = true;
  return IoWait::none;
}

IoWait TlsSession::write(std::string_view& data) {
  ERR_clear_error();
  errno = 0;
  std::size_t written = 0;
  if (SSL_write_ex(ssl_, data.data(), data.size(), &written) == 1) {
    data.remove_prefix(written);
    return IoWait::none;
  }
  const int error = SSL_get_error(ssl_, 0);
  if (error == SSL_ERROR_WANT_READ) return IoWait::read;
  if (error == SSL_ERROR_WANT_WRITE) return IoWait::write;
  if (error == SSL_ERROR_SYSCALL && errno != 0) {
    throw ExchangeError(std::string("falha no envio: ") + std::strerror(errno));
  }
  throw ExchangeError(io_failure("falha no envio", *client_));
}

IoWait TlsSession::read(char* buffer, std::size_t size, std::size_t& got) {
  ERR_clear_error();
  errno = 0;
  got = 0;
  if (SSL_read_ex(ssl_, buffer, size, &got) == 1) return IoWait::none;
  const int error = SSL_get_error(ssl_, 0);
  if (error == SSL_ERROR_WANT_READ) return IoWait::read;
  if (error == SSL_ERROR_WANT_WRITE) return IoWait::write;
  if (error == SSL_ERROR_ZERO_RETURN) return IoWait::none;
  if (error == SSL_ERROR_SYSCALL && errno != 0) {
    throw ExchangeError(std::string("falha na recepção: ") + std::strerror(errno));
  }
  throw ExchangeError(io_failure("falha na recepção", *client_));
}

}  // namespace quillet
