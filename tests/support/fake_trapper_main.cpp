// fake_trapper --listen ADDR:PORT --log FILE [--ready FILE] [--peers FILE]
//              [--script B1,B2,...] [--drip-pieces N] [--drip-gap MS]
//              [--redirect HOST[:PORT]] [--revision N]
//              [--tls-psk IDENTITY:HEXKEY | --tls-cert CERT:KEY[:CA]]
//
// A trapper for the end-to-end suites. Writes each request's JSON body to the
// log, one line per request, and its client's address to the peers file,
// touches the ready file once it listens, answers connection i with behaviour
// Bi (the last repeats; default success) and runs until SIGTERM or SIGINT.
// "drip" sends its reply in N pieces MS apart; "redirect" sends the client to
// the --redirect address with revision N (default 1). With --tls-psk or
// --tls-cert it speaks TLS only (with CA: clients must show a certificate of
// that CA).
#include <signal.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "trapper.h"

namespace {

int usage(const std::string& problem) {
  std::cerr << "fake_trapper: " << problem
            << "\nusage: fake_trapper --listen ADDR:PORT --log FILE [--ready FILE] "
               "[--peers FILE] [--script B1,B2,...] [--drip-pieces N] [--drip-gap MS] "
               "[--redirect HOST[:PORT]] [--revision N] "
               "[--tls-psk IDENTITY:HEXKEY | --tls-cert CERT:KEY[:CA]]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using quillet::testing::behaviour_named;
  std::string listen, log_path, ready_path, peers_path, script = "success";
  quillet::testing::TrapperOptions options;
  for (int i = 1; i < argc; ++i) {
    std::string_view flag = argv[i];
    if (i + 1 >= argc) return usage(std::string(flag) + " needs a value");
    std::string value = argv[++i];
    if (flag == "--listen") {
      listen = value;
    } else if (flag == "--log") {
      log_path = value;
    } else if (flag == "--ready") {
      ready_path = value;
    } else if (flag == "--peers") {
      peers_path = value;
    } else if (flag == "--script") {
      script = value;
    } else if (flag == "--redirect") {
      options.redirect_address = value;
    } else if (flag == "--revision") {
      try {
        options.redirect_revision = std::stoull(value);
      } catch (const std::exception&) {
        return usage("bad number for --revision");
      }
    } else if (flag == "--tls-psk" || flag == "--tls-cert") {
      std::vector<std::string> parts;
      for (std::size_t at = 0; at <= value.size();) {
        std::size_t colon = std::min(value.find(':', at), value.size());
        parts.push_back(value.substr(at, colon - at));
        at = colon + 1;
      }
      quillet::testing::TrapperTls tls;
      if (flag == "--tls-psk" && parts.size() == 2) {
        tls.psk_identity = parts[0];
        for (std::size_t i = 0; i + 1 < parts[1].size(); i += 2)
          tls.psk += static_cast<char>(std::stoi(parts[1].substr(i, 2), nullptr, 16));
      } else if (flag == "--tls-cert" && (parts.size() == 2 || parts.size() == 3)) {
        tls.cert_file = parts[0];
        tls.key_file = parts[1];
        if (parts.size() == 3) tls.ca_file = parts[2];
      } else {
        return usage("bad value for " + std::string(flag));
      }
      options.tls = tls;
    } else if (flag == "--drip-pieces" || flag == "--drip-gap") {
      int number = 0;
      try {
        number = std::stoi(value);
      } catch (const std::exception&) {
        return usage("bad number for " + std::string(flag));
      }
      if (flag == "--drip-pieces") {
        options.drip_pieces = number;
      } else {
        options.drip_gap = std::chrono::milliseconds(number);
      }
    } else {
      return usage("unknown option " + std::string(flag));
    }
  }
  if (listen.empty() || log_path.empty()) return usage("--listen and --log are required");

  std::size_t colon = listen.rfind(':');
  if (colon == std::string::npos) return usage("--listen wants ADDR:PORT");
  options.address = listen.substr(0, colon);
  if (options.address.size() >= 2 && options.address.front() == '[' &&
      options.address.back() == ']') {
    options.address = options.address.substr(1, options.address.size() - 2);
  }
  try {
    options.port = std::stoi(listen.substr(colon + 1));
  } catch (const std::exception&) {
    return usage("bad port in " + listen);
  }
  for (std::size_t at = 0; at <= script.size();) {
    std::size_t comma = std::min(script.find(',', at), script.size());
    std::string name = script.substr(at, comma - at);
    auto behaviour = behaviour_named(name);
    if (!behaviour) return usage("unknown behaviour \"" + name + "\"");
    options.script.push_back(*behaviour);
    at = comma + 1;
  }

  std::ofstream log(log_path, std::ios::binary | std::ios::trunc);
  if (!log) return usage("cannot write " + log_path);
  std::ofstream peers;
  if (!peers_path.empty()) {
    peers.open(peers_path, std::ios::binary | std::ios::trunc);
    if (!peers) return usage("cannot write " + peers_path);
  }
  options.on_request = [&log, &peers](const quillet::testing::TrapperRequest& request) {
    log << request.body << '\n';
    log.flush();
    if (peers.is_open()) {
      peers << request.peer << '\n';
      peers.flush();
    }
  };

  // The trapper's thread inherits this mask, so the signals reach sigwait.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);

  try {
    quillet::testing::Trapper trapper(std::move(options));
    if (!ready_path.empty() && !std::ofstream(ready_path)) {
      std::cerr << "fake_trapper: cannot write " << ready_path << '\n';
      return 1;
    }
    int received = 0;
    sigwait(&stop, &received);
  } catch (const std::exception& e) {
    std::cerr << "fake_trapper: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
