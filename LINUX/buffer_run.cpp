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

double as_double(const MetricValue& value) {
  if (const auto* whole = std::get_if<std::int64_t>(&value)) return static_cast<double>(*whole);
  if (const auto* real = std::get_if<double>(&value)) return *real;
  return 0.0;
}

}  // namespace

BufferRun::BufferRun(const Configuration& config, const CaptureSetup& capture, Context& ctx,
                     std::chrono::system_clock::time_point started)
    : buffer_(config.buffer_file.given() ? config.buffer_file.value
                                         : capture.work_dir + std::string(kBufferFileName),
              config.buffer_period),
      period_text_(config.buffer_period_text),
      ctx_(ctx),
      started_(unix_ns(started)) {}

std::vector<BufferedValue> BufferRun::read_into() {
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

template <typename Change>
bool BufferRun::update(bool wait, const Change& change, std::size_t lost) {
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

void BufferRun::write_failed(const BufferError& e, std::size_t lost) {
  if (write_error_.empty()) write_error_ = e.what();
  lost_ += lost;
  failed_ = true;
}

std::vector<SourceRecord> BufferRun::clients(const std::string& zabbix_host,
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

void BufferRun::announce(const std::string& zabbix_host, const std::vector<SourceRecord>& listed) {
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

void BufferRun::keep(const std::vector<ZabbixMetric>& unsent, const std::string& failed,
                     bool announced) {
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

void BufferRun::drain(ZabbixSender& zbx) {
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

void BufferRun::report() {
  if (write_error_.empty()) return;
  println(ctx_.out, "[ERRO] Buffer persistente: não foi possível gravar " + buffer_.file() + ": " +
                        write_error_ + "; " + std::to_string(lost_) + " valores perdidos.");
  write_error_.clear();
}

}  // namespace quillet
