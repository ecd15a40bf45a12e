#include "buffer_run.h"

#include <algorithm>
#include <optional>
#include <tuple>

#include "delivery.h"
#include "os.h"

namespace quillet {

namespace {

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

std::string buffer_file(const Configuration& config, const CaptureSetup& capture) {
  if (config.buffer_file.given()) return config.buffer_file.value;
  std::string file = capture.work_dir;
  file.append(kBufferFileName);
  return file;
}

std::string seconds_of(std::chrono::milliseconds wait) {
  return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(wait).count()) + " s";
}

}  // namespace

BufferRun::BufferRun(const Configuration& config, const CaptureSetup& capture, Context& ctx,
                     std::string zabbix_host, std::chrono::system_clock::time_point started)
    : buffer_(buffer_file(config, capture), config.buffer_period),
      period_text_(config.buffer_period_text),
      ctx_(ctx),
      host_(std::move(zabbix_host)),
      started_(unix_ns(started)),
      lock_wait_(ctx.delivery.buffer_lock_wait) {
  try {
    buffer_.open_directory();
  } catch (const BufferError& e) {
    throw ConfigError(config.file, config.buffer_file.line,
                      std::string("PersistentBufferFile: ") + e.what());
  }
}

std::optional<Fd> BufferRun::lock() {
  std::optional<Fd> held = buffer_.lock(lock_wait_);
  if (!held && lock_wait_.count() > 0) {
    println(ctx_.out, "[AVISO] Buffer persistente: outro processo retém " + buffer_.file() +
                          ".lock há mais de " + seconds_of(lock_wait_) +
                          "; a coleta segue sem esperar por ele.");
    lock_wait_ = std::chrono::milliseconds(0);
  }
  return held;
}

void BufferRun::write_failed(const std::string& why, std::size_t lost) {
  if (write_error_.empty()) write_error_ = why;
  lost_ += lost;
  failed_ = true;
}

bool BufferRun::catch_up() {
  return read_ && buffer_.read_more(ctx_.wall_clock(), contents_);
}

std::vector<SourceRecord> BufferRun::clients(const std::vector<SourceRecord>& ranking) {
  try {
    const std::optional<Fd> held = lock();
    if (!held) return {};
    contents_ = buffer_.read(ctx_.wall_clock());
    read_ = contents_.unreadable.empty();
    // What was left out is said once: marked delivered under the same lock.
    if (contents_.dropped > 0 || contents_.damaged > 0) {
      try {
        buffer_.skip_dead(contents_);
      } catch (const BufferError& e) {
        write_failed(e.what(), 0);
      }
    }
  } catch (const BufferError& e) {
    println(ctx_.out, "[ERRO] Buffer persistente: não foi possível ler " + buffer_.file() + ": " +
                          e.what() + ".");
    failed_ = true;
    return {};
  }
  if (!contents_.unreadable.empty()) {
    println(ctx_.out, "[ERRO] Buffer persistente " + buffer_.file() + " ilegível (" +
                          contents_.unreadable + "); movido para " + contents_.moved_to + ".");
    failed_ = true;
  }
  if (contents_.damaged > 0) {
    println(ctx_.out, "[ERRO] Buffer persistente: " + std::to_string(contents_.damaged) +
                          " registros ilegíveis em " + buffer_.file() +
                          " ignorados; os demais valores seguem.");
    failed_ = true;
  }
  const std::size_t aged = contents_.dropped - contents_.dropped_refused;
  if (aged > 0) {
    println(ctx_.out, "[AVISO] Buffer persistente: " + std::to_string(aged) +
                          " valores com mais de " + period_text_ + " descartados.");
  }
  if (contents_.dropped_refused > 0) {
    println(ctx_.out, "[AVISO] Buffer persistente: " + std::to_string(contents_.dropped_refused) +
                          " valores recusados pelo Zabbix até o fim do período de " + period_text_ +
                          " descartados.");
  }

  std::vector<SourceRecord> clients;
  std::vector<ValueClock> latest_count, latest_share;
  const std::uint32_t host = contents_.name(host_);
  for (const BufferedValue& v : contents_.values) {
    bool is_count = false;
    const auto client = client_of(contents_.text(v.key), is_count);
    if (v.host != host || !client) continue;
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
    if (std::tie(v.clock, v.ns) < std::tie(latest.clock, latest.ns)) continue;
    latest = ValueClock{v.clock, v.ns};
    if (is_count && v.kind == BufferedValue::Kind::whole) {
      at->contagem = v.whole;
    } else if (!is_count) {
      at->percentual = v.kind == BufferedValue::Kind::real    ? v.real
                       : v.kind == BufferedValue::Kind::whole ? static_cast<double>(v.whole)
                                                              : 0.0;
    }
  }
  return clients;
}

void BufferRun::announce(const std::vector<SourceRecord>& listed) {
  if (!read_) return;
  const std::uint32_t host = contents_.name(host_);
  if (std::none_of(contents_.values.begin(), contents_.values.end(),
                   [&](const BufferedValue& v) { return v.host == host && v.announced == 0; })) {
    return;
  }
  std::vector<std::string> keys;
  for (const SourceRecord& r : listed) {
    keys.push_back(std::string(kCountKey) + r.source + "]");
    keys.push_back(std::string(kShareKey) + r.source + "]");
  }
  try {
    const std::optional<Fd> held = lock();
    if (!held) return;
    buffer_.announce(host_, keys, unix_ns(ctx_.wall_clock()));
  } catch (const BufferError& e) {
    write_failed(e.what(), 0);
  }
}

void BufferRun::keep(const std::vector<ZabbixMetric>& unsent, const std::string& failed,
                     bool announced) {
  const std::int64_t now = announced ? unix_ns(ctx_.wall_clock()) : 0;
  std::vector<ZabbixMetric> kept;
  for (const ZabbixMetric& value : unsent) {
    bool is_count = false;
    if (client_of(value.key, is_count)) kept.push_back(value);
  }
  std::optional<std::size_t> held;
  bool written = false;
  try {
    const std::optional<Fd> lock_held = lock();
    if (!lock_held) throw BufferError("bloqueado por outro processo");
    buffer_.append(kept, now);
    written = !kept.empty();
    try {
      if (!catch_up()) contents_ = buffer_.read(ctx_.wall_clock());
      held = contents_.values.size();
    } catch (const BufferError&) {
      // Kept all the same; only the count is unknown.
    }
  } catch (const BufferError& e) {
    write_failed(e.what(), kept.size());
  }
  said_left_ = true;
  report();
  if (written) {
    println(ctx_.out, failed + "; " + std::to_string(kept.size()) +
                          " valores guardados no buffer persistente" +
                          (held ? ", que agora tem " + std::to_string(*held) + " valores." : "."));
  } else {
    println(ctx_.out, failed + ".");
  }
}

void BufferRun::drain(ZabbixSender& zbx) {
  std::optional<Fd> held;
  try {
    held = buffer_.lock(std::chrono::milliseconds(0));
    if (!held || !catch_up()) {
      // Another run is draining, or drained since this one read.
      said_left_ = true;
      return;
    }
  } catch (const BufferError& e) {
    write_failed(e.what(), 0);
    return;
  }
  const std::uint32_t host = contents_.name(host_);
  std::vector<std::uint32_t> order, waiting;
  for (std::uint32_t i = 0; i < contents_.values.size(); ++i) {
    const BufferedValue& v = contents_.values[i];
    const bool may_go = v.host == host && v.announced != 0 && v.announced < started_;
    (may_go ? order : waiting).push_back(i);
  }
  if (order.empty()) {
    if (!contents_.stale) return;
    try {
      buffer_.rewrite(contents_, waiting, kDrainBatch);
    } catch (const BufferError& e) {
      write_failed(e.what(), 0);
    }
    return;
  }
  std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    const BufferedValue &x = contents_.values[a], &y = contents_.values[b];
    return std::tie(x.clock, x.ns) < std::tie(y.clock, y.ns);
  });
  const std::size_t sendable = order.size();
  order.insert(order.end(), waiting.begin(), waiting.end());
  std::vector<std::uint64_t> ends;
  try {
    ends = buffer_.rewrite(contents_, order, kDrainBatch, sendable);
  } catch (const BufferError& e) {
    write_failed(e.what(), 0);
    return;
  }

  std::size_t delivered = 0, requests = 0, kept_again = 0;
  std::int64_t refused = 0;
  for (std::size_t first = 0; first < sendable; first += kDrainBatch) {
    const std::size_t last = std::min(sendable, first + kDrainBatch);
    std::vector<ZabbixMetric> batch;
    batch.reserve(last - first);
    for (std::size_t i = first; i < last; ++i)
      batch.push_back(contents_.metric(contents_.values[order[i]]));
    try {
      const SendResult result = zbx.exchange(encode_request(batch));
      if (result.failed.value_or(0) > 0) {
        // Zabbix does not say which: the request's values get more chances.
        refused += *result.failed;
        std::vector<std::uint32_t> again(order.begin() + static_cast<std::ptrdiff_t>(first),
                                         order.begin() + static_cast<std::ptrdiff_t>(last));
        for (const std::uint32_t i : again)
          ++contents_.values[i].refused;
        buffer_.append(contents_, again);
        kept_again += again.size();
      }
    } catch (const ExchangeError& e) {
      print_delivery_error(ctx_.out, e);
      println(ctx_.out, "[ERRO] Buffer persistente: envio de valores guardados falhou; restam " +
                            std::to_string(contents_.values.size() - delivered + kept_again) +
                            " para a próxima coleta.");
      failed_ = true;
      break;
    } catch (const BufferError& e) {
      // Delivered, and still in the file: a later run sends them again.
      write_failed(e.what(), 0);
      break;
    }
    delivered += batch.size();
    ++requests;
    try {
      buffer_.commit(contents_, ends[requests - 1]);
    } catch (const BufferError& e) {
      write_failed(e.what(), 0);
      break;
    }
  }
  const std::size_t left = contents_.values.size() - delivered + kept_again;
  if (left == 0 && write_error_.empty()) {
    try {
      buffer_.rewrite(contents_, {}, kDrainBatch);
    } catch (const BufferError& e) {
      write_failed(e.what(), 0);
    }
  }
  if (delivered > 0) {
    println(ctx_.out, "[AVISO] Buffer persistente: " + std::to_string(delivered) +
                          " valores guardados entregues em " + std::to_string(requests) +
                          " envios; restam " + std::to_string(left) + ".");
    said_left_ = true;
  }
  if (refused > 0) {
    println(ctx_.out, "[AVISO] O Zabbix recusou " + std::to_string(refused) + " de " +
                          std::to_string(delivered) + " valores guardados; os " +
                          std::to_string(kept_again) +
                          " valores desses envios ficam no buffer para as próximas coletas.");
  }
}

void BufferRun::refused() {
  const std::uint32_t host = contents_.name(host_);
  const auto kept = std::count_if(contents_.values.begin(), contents_.values.end(),
                                  [&](const BufferedValue& v) { return v.host == host; });
  if (kept == 0) return;
  println(ctx_.out, "[AVISO] Buffer persistente: " + std::to_string(kept) +
                        " valores guardados do host \"" + host_ +
                        "\" ficam no buffer até que o Zabbix aceite a descoberta ou até o fim do "
                        "período de " +
                        period_text_ + ".");
  said_left_ = true;
}

void BufferRun::report() {
  if (!write_error_.empty()) {
    println(ctx_.out, "[ERRO] Buffer persistente: não foi possível gravar " + buffer_.file() +
                          ": " + write_error_ + "; " + std::to_string(lost_) +
                          " valores perdidos.");
    write_error_.clear();
  }
  if (!said_left_ && read_ && !contents_.values.empty()) {
    println(ctx_.out, "[AVISO] Buffer persistente: " + std::to_string(contents_.values.size()) +
                          " valores guardados aguardam as próximas coletas.");
  }
  said_left_ = true;
}

}  // namespace quillet
