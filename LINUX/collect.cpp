#include "collect.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <tuple>

#include "buffer.h"
#include "capture.h"
#include "os.h"
#include "quillet.h"
#include "tls.h"
#include "transports.h"

namespace quillet {

namespace {

// Captures and reads the report while holding the working directory's lock, so
// that a second run cannot remove or overwrite the files in between; the lock
// goes before the deliveries. Returns the ranking, or nothing when another run
// holds the lock or the capture failed (the lines are printed): nothing was
// collected, and a scheduler must see that. `window_end` gets the moment the
// capture ended.
std::optional<std::vector<SourceRecord>> capture_and_rank(Context& ctx, const CaptureSetup& capture,
                                                          ValueClock& window_end) {
  // The capture and the report hold every client's address and queries: the
  // tools inherit a mask that keeps both files to their owner.
  restrict_new_files();
  const std::optional<Fd> lock = try_lock_directory(capture.work_dir);
  if (!lock) {
    println(ctx.out, "[ERRO] Outra coleta já está em execução em " + capture.work_dir + ".");
    return std::nullopt;
  }
  const auto ended = capturar_dnstop(capture, ctx.out, ctx.runner, ctx.contained, ctx.wall_clock);
  if (!ended) {
    println(ctx.out, " Erro ao Capturar dados do dnstop.");
    return std::nullopt;
  }
  window_end = value_clock(*ended);
  TopSelection top(kTopLimit);
  const TcpCounts tcp =
      capture.tcp_reader.empty() ? TcpCounts{} : read_tcp_counts(capture.caminho_tcp);
  if (tcp.without_start > 0) {
    println(ctx.out,
            "[AVISO] TCP: " + std::to_string(tcp.without_start) +
                " conexões começaram antes da captura; suas consultas não foram contadas.");
  }
  if (tcp.broken > 0) {
    println(ctx.out, "[AVISO] TCP: " + std::to_string(tcp.broken) +
                         " conexões com enquadramento inválido; suas consultas seguintes não "
                         "foram contadas.");
  }
  if (tcp.sources.empty()) {
    // Only UDP: dnstop's own counts and percentages, as it wrote them.
    analisarRelatorio(capture.caminho_arquivo, [&](const RecordView& r) { top.add(r); });
    return top.take();
  }
  std::vector<SourceRecord> udp;
  analisarRelatorio(capture.caminho_arquivo, [&](const RecordView& r) {
    udp.push_back({std::string(r.source), r.contagem, r.percentual});
  });
  for (const SourceRecord& r : with_tcp(udp, udp_total(capture.caminho_arquivo, udp), tcp))
    top.add({r.source, r.contagem, r.percentual});
  return top.take();
}

constexpr std::string_view kBufferFileName = "quillet.buffer";
constexpr std::string_view kCountKey = "contDns[";
constexpr std::string_view kShareKey = "percentDns[";
// Values per request of a drain, as the stock sender batches them.
constexpr std::size_t kDrainBatch = 250;

// The client address of a buffered value's key, or nothing for another key.
std::optional<std::string_view> client_of(std::string_view key, bool& is_count) {
  if (!key.ends_with(']')) return std::nullopt;
  for (const std::string_view prefix : {kCountKey, kShareKey}) {
    if (key.starts_with(prefix)) {
      is_count = prefix == kCountKey;
      return key.substr(prefix.size(), key.size() - prefix.size() - 1);
    }
  }
  return std::nullopt;
}

std::int64_t unix_ns(std::chrono::system_clock::time_point moment) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(moment.time_since_epoch()).count();
}

double as_double(const MetricValue& value) {
  if (const auto* whole = std::get_if<std::int64_t>(&value)) return static_cast<double>(*whole);
  if (const auto* real = std::get_if<double>(&value)) return *real;
  return 0.0;
}

// A run's use of the persistent buffer: every read-modify-write of the file
// under its lock, and the console lines about it.
class RunBuffer {
 public:
  // `started`: when the run started, before its capture.
  RunBuffer(const Configuration& config, const CaptureSetup& capture, Context& ctx,
            std::chrono::system_clock::time_point started)
      : buffer_(config.buffer_file.given() ? config.buffer_file.value
                                           : capture.work_dir + std::string(kBufferFileName),
                config.buffer_period),
        period_text_(config.buffer_period_text),
        ctx_(ctx),
        started_(unix_ns(started)) {}

  bool failed() const { return failed_; }

  // The clients of `zabbix_host` that have values in the buffer but are not
  // in `ranking`, each with its latest count and percentage, in the order the
  // buffer first has them: the run's discovery lists them too, so that their
  // items exist when their values are sent.
  std::vector<SourceRecord> clients(const std::string& zabbix_host,
                                    const std::vector<SourceRecord>& ranking) {
    std::vector<SourceRecord> clients;
    update(true, [&](std::vector<BufferedValue>& values) {
      std::vector<ValueClock> latest_count, latest_share;
      for (const BufferedValue& v : values) {
        bool is_count = false;
        const auto client = client_of(v.metric.key, is_count);
        if (v.metric.host != zabbix_host || !client) continue;
        const auto ranked = [&](const SourceRecord& r) { return r.source == *client; };
        if (std::any_of(ranking.begin(), ranking.end(), ranked)) continue;
        auto at = std::find_if(clients.begin(), clients.end(), ranked);
        if (at == clients.end()) {
          clients.push_back({std::string(*client), 0, 0.0});
          latest_count.emplace_back();
          latest_share.emplace_back();
          at = clients.end() - 1;
        }
        const auto i = static_cast<std::size_t>(at - clients.begin());
        ValueClock& latest = is_count ? latest_count[i] : latest_share[i];
        const ValueClock clock = v.metric.clock.value_or(ValueClock{});
        if (std::tie(clock.clock, clock.ns) < std::tie(latest.clock, latest.ns)) continue;
        latest = clock;
        if (const auto* whole = std::get_if<std::int64_t>(&v.metric.value); is_count && whole) {
          at->contagem = *whole;
        } else if (!is_count) {
          at->percentual = as_double(v.metric.value);
        }
      }
      return false;
    });
    return clients;
  }

  // Marks the buffered values of `zabbix_host`'s `listed` clients, which a
  // delivered discovery has just listed: a run that starts from now on may
  // send them.
  void announce(const std::string& zabbix_host, const std::vector<SourceRecord>& listed) {
    const std::int64_t now = unix_ns(ctx_.wall_clock());
    update(true, [&](std::vector<BufferedValue>& values) {
      bool marked = false;
      for (BufferedValue& v : values) {
        bool is_count = false;
        const auto client = client_of(v.metric.key, is_count);
        if (v.announced != 0 || v.metric.host != zabbix_host || !client) continue;
        if (std::any_of(listed.begin(), listed.end(),
                        [&](const SourceRecord& r) { return r.source == *client; })) {
          v.announced = now;
          marked = true;
        }
      }
      return marked;
    });
  }

  // Keeps the run's `unsent` values (the discovery document is not kept: its
  // clients come back with their values' union) and prints `failed` with how
  // many were kept and what the buffer holds. `announced`: the run's
  // discovery, which lists their clients, was delivered.
  void keep(const std::vector<ZabbixMetric>& unsent, const std::string& failed, bool announced) {
    const std::int64_t now = announced ? unix_ns(ctx_.wall_clock()) : 0;
    std::vector<BufferedValue> kept;
    for (const ZabbixMetric& value : unsent) {
      bool is_count = false;
      if (client_of(value.key, is_count)) kept.push_back({value, now});
    }
    std::size_t held = 0;
    const bool written = update(
        true,
        [&](std::vector<BufferedValue>& values) {
          values.insert(values.end(), kept.begin(), kept.end());
          held = values.size();
          return !kept.empty();
        },
        kept.size());
    report();
    if (written) {
      println(ctx_.out, failed + "; " + std::to_string(kept.size()) +
                            " valores guardados no buffer persistente, que agora tem " +
                            std::to_string(held) + " valores.");
    } else {
      println(ctx_.out, failed + ".");
    }
  }

  // Sends the values announced before this run started, oldest first, in
  // requests of at most kDrainBatch values, one attempt each; each delivered
  // request leaves the buffer before the next goes out, and the first that
  // fails ends the drain. Skipped while another run holds the lock: that one
  // is draining.
  void drain(ZabbixSender& zbx) {
    std::optional<Fd> lock;
    std::vector<BufferedValue> values;
    try {
      lock = buffer_.lock(false);
      if (!lock) return;
      values = read_into();
      if (dropped_) buffer_.write(values);
    } catch (const BufferError& e) {
      write_failed(e, 0);
      return;
    }
    // The values that may go, oldest first, after those that wait: each
    // delivered request is then a range that leaves the end of the list.
    const auto waiting = std::stable_partition(
        values.begin(), values.end(),
        [&](const BufferedValue& v) { return v.announced == 0 || v.announced >= started_; });
    const auto clock_of = [](const BufferedValue& v) {
      const ValueClock c = v.metric.clock.value_or(ValueClock{});
      return std::make_pair(c.clock, c.ns);
    };
    std::stable_sort(waiting, values.end(), [&](const BufferedValue& a, const BufferedValue& b) {
      return clock_of(a) < clock_of(b);
    });

    auto next = static_cast<std::size_t>(waiting - values.begin());
    const std::size_t held = values.size();
    std::size_t delivered = 0, requests = 0;
    std::int64_t refused = 0;
    while (next < values.size()) {
      const auto first = values.begin() + static_cast<std::ptrdiff_t>(next);
      const auto last =
          values.begin() + static_cast<std::ptrdiff_t>(std::min(values.size(), next + kDrainBatch));
      std::vector<ZabbixMetric> batch;
      for (auto v = first; v != last; ++v)
        batch.push_back(v->metric);
      try {
        const SendResult result = zbx.exchange(encode_request(batch));
        refused += result.failed.value_or(0);
      } catch (const ExchangeError& e) {
        print_delivery_error(ctx_.out, e);
        println(ctx_.out, "[ERRO] Buffer persistente: envio de valores guardados falhou; restam " +
                              std::to_string(values.size()) + " para a próxima coleta.");
        failed_ = true;
        break;
      }
      values.erase(first, last);
      delivered += batch.size();
      ++requests;
      try {
        buffer_.write(values);
      } catch (const BufferError& e) {
        // Delivered, but still in the file: a later run sends them again.
        write_failed(e, 0);
        break;
      }
    }
    if (delivered > 0) {
      println(ctx_.out, "[AVISO] Buffer persistente: " + std::to_string(delivered) +
                            " valores guardados entregues em " + std::to_string(requests) +
                            " envios; restam " + std::to_string(held - delivered) + ".");
    }
    if (refused > 0) {
      println(ctx_.out, "[AVISO] O Zabbix recusou " + std::to_string(refused) + " de " +
                            std::to_string(delivered) + " valores guardados.");
    }
  }

 private:
  // The buffer's values, with the lines about what reading found. Raises
  // BufferError when an unreadable file cannot be moved aside.
  std::vector<BufferedValue> read_into() {
    BufferContents contents = buffer_.read(ctx_.wall_clock());
    dropped_ = contents.dropped > 0;
    if (!contents.unreadable.empty()) {
      println(ctx_.out, "[ERRO] Buffer persistente " + buffer_.file() + " ilegível (" +
                            contents.unreadable + "); movido para " + contents.moved_to + ".");
      failed_ = true;
    }
    if (contents.dropped > 0) {
      println(ctx_.out, "[AVISO] Buffer persistente: " + std::to_string(contents.dropped) +
                            " valores com mais de " + period_text_ + " descartados.");
    }
    return std::move(contents.values);
  }

  // One read-modify-write under the lock (waiting for it with `wait`):
  // `change` edits the values and says whether they changed; the file is
  // rewritten then, or when reading dropped values. False when the buffer
  // could not be used; its line then counts `lost` values.
  template <typename Change>
  bool update(bool wait, const Change& change, std::size_t lost = 0) {
    try {
      const std::optional<Fd> lock = buffer_.lock(wait);
      if (!lock) return false;
      std::vector<BufferedValue> values = read_into();
      if (change(values) || dropped_) buffer_.write(values);
      return true;
    } catch (const BufferError& e) {
      write_failed(e, lost);
      return false;
    }
  }

  // A buffer that cannot be written is said once per run, with every value
  // it cost: when the run keeps its values, or at the end.
  void write_failed(const BufferError& e, std::size_t lost) {
    if (write_error_.empty()) write_error_ = e.what();
    lost_ += lost;
    failed_ = true;
  }

 public:
  // Prints the line of a buffer that could not be written, if any.
  void report() {
    if (write_error_.empty()) return;
    println(ctx_.out, "[ERRO] Buffer persistente: não foi possível gravar " + buffer_.file() +
                          ": " + write_error_ + "; " + std::to_string(lost_) +
                          " valores perdidos.");
    write_error_.clear();
  }

 private:
  PersistentBuffer buffer_;
  std::string period_text_;
  Context& ctx_;
  std::int64_t started_;  // the run's start, Unix nanoseconds
  bool failed_ = false;   // a line that makes the run end with status 1
  bool dropped_ = false;
  std::string write_error_;  // why the buffer could not be written, until said
  std::size_t lost_ = 0;     // the values that cost
};

void print_listing(const std::vector<SourceRecord>& top20, std::ostream& out) {
  println(out, "Modo DEBUG ativado:");
  println(out,
          std::string(GREEN) + "\nVersão do script: " + std::string(VERSION) + std::string(RESET));
  for (const SourceRecord& record : top20)
    println(out, debug_line(record));
}

}  // namespace

std::vector<ZabbixMetric> run_values(const std::string& zabbix_host,
                                     const std::vector<SourceRecord>& ranking,
                                     const std::optional<ValueClock>& clock,
                                     const std::vector<SourceRecord>& buffered_clients) {
  std::vector<SourceRecord> listed = ranking;
  listed.insert(listed.end(), buffered_clients.begin(), buffered_clients.end());
  std::vector<ZabbixMetric> values{
      {zabbix_host, "descobertaDns", discovery_document(listed), clock}};
  for (const SourceRecord& record : ranking) {
    values.push_back({zabbix_host, "contDns[" + record.source + "]", record.contagem, clock});
    values.push_back({zabbix_host, "percentDns[" + record.source + "]", record.percentual, clock});
  }
  return values;
}

DeliverySetup delivery_setup(const Configuration& config,
                             const std::optional<std::string>& zabbix_server,
                             const DeliveryBounds& bounds) {
  DeliverySetup setup{.nodes = {}, .tls = {}, .source = {}, .bounds = bounds};
  if (zabbix_server) setup.nodes = parse_server_nodes(*zabbix_server, config.server_port);
  if (config.tls_connect != TlsConnect::unencrypted) {
    setup.tls = std::make_shared<const TlsClient>(config);
  }
  // The configuration checked the form: an address it accepted converts.
  if (config.source_ip.given()) setup.source = source_address(config.source_ip.value);
  return setup;
}

int coletarDns(const std::string& /*caminho_arquivo: the capture decides the report*/,
               Context& ctx) {
  // Before anything is captured: a configuration or a server that cannot be
  // used costs no capture and sends nothing. The debug listing does not look
  // at the server.
  const auto started = ctx.wall_clock();
  const std::string& zabbix_host = ctx.settings.zabbix_host.value();
  const bool listing = zabbix_host == "debug";
  const Configuration config = read_configuration(ctx.configuration_file).value_or(Configuration{});
  const DeliverySetup setup =
      delivery_setup(config, listing ? std::nullopt : ctx.settings.zabbix_server, ctx.delivery);
  CaptureSetup capture = ctx.capture;
  if (config.interface.given()) capture.interface = config.interface.value;

  ValueClock window_end;
  const std::optional<std::vector<SourceRecord>> top20 = capture_and_rank(ctx, capture, window_end);
  if (!top20) return 1;
  if (listing) {
    print_listing(*top20, ctx.out);
    return 0;
  }

  ZabbixSender zbx = setup.sender();
  std::optional<RunBuffer> buffer;
  std::vector<SourceRecord> buffered_clients;
  if (config.persistent_buffer) {
    buffer.emplace(config, capture, ctx, started);
    buffered_clients = buffer->clients(zabbix_host, *top20);
  }
  std::optional<DeliveryOutcome> discovery;  // the first value's
  int given_up = 0, values_delivered = 0, values_refused = 0;
  const std::vector<ZabbixMetric> values =
      run_values(zabbix_host, *top20, window_end, buffered_clients);
  // With the buffer, a value given up means no node answers: the values after
  // it go straight to the buffer instead of costing every attempt again.
  std::vector<ZabbixMetric> unsent;
  for (const ZabbixMetric& value : values) {
    if (buffer && given_up > 0) {
      unsent.push_back(value);
      continue;
    }
    const DeliveryOutcome outcome = send_zabbix(zbx, value, setup.bounds, ctx.out, ctx.pause);
    if (outcome == DeliveryOutcome::given_up) {
      ++given_up;
      unsent.push_back(value);
    } else if (discovery) {
      ++values_delivered;
      if (outcome == DeliveryOutcome::refused) ++values_refused;
    }
    if (!discovery) {
      discovery = outcome;
      if (buffer && outcome == DeliveryOutcome::delivered) {
        std::vector<SourceRecord> listed = *top20;
        listed.insert(listed.end(), buffered_clients.begin(), buffered_clients.end());
        buffer->announce(zabbix_host, listed);
      }
    }
  }

  // "success" with "failed: 1" stores nothing: a refused discovery means the
  // host is unknown, not linked or not allowed, and every run would fail alike.
  const bool discovery_refused = discovery == DeliveryOutcome::refused;
  if (discovery_refused) {
    println(ctx.out, "[ERRO] O Zabbix recusou a descoberta (descobertaDns) do host \"" +
                         zabbix_host +
                         "\": confira o nome do host, o template e os hosts permitidos.");
  } else if (values_refused > 0) {
    println(ctx.out, "[AVISO] O Zabbix recusou " + std::to_string(values_refused) + " de " +
                         std::to_string(values_delivered) +
                         " valores: endereços novos só são aceitos depois que a descoberta "
                         "cria seus itens.");
  }
  if (!unsent.empty()) {
    const std::string failed = "[ERRO] " + std::to_string(unsent.size()) + " de " +
                               std::to_string(values.size()) + " envios ao Zabbix falharam";
    if (buffer) {
      buffer->keep(unsent, failed, discovery == DeliveryOutcome::delivered);
    } else {
      println(ctx.out, failed + ".");
    }
    return 1;
  }
  if (buffer && discovery == DeliveryOutcome::delivered) buffer->drain(zbx);
  if (buffer) buffer->report();
  if (discovery_refused || (buffer && buffer->failed())) return 1;
  println(ctx.out, "OK!");
  return 0;
}

}  // namespace quillet
