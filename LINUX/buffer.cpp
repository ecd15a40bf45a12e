#include "buffer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

namespace quillet {

namespace {

using nlohmann::json;
using nlohmann::ordered_json;

constexpr std::string_view kVersionKey = "quillet_buffer";
constexpr int kVersion = 1;
constexpr std::int64_t kMaxNs = 999999999;

BufferError error_of(int err) {
  return BufferError(std::strerror(err));
}

std::string directory_of(const std::string& file) {
  const std::size_t slash = file.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : file.substr(0, slash);
}

void write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw error_of(errno);
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

ordered_json entry_of(const BufferedValue& v) {
  ordered_json entry{{"host", v.metric.host}, {"key", v.metric.key}};
  std::visit([&](const auto& value) { entry["value"] = value; }, v.metric.value);
  const ValueClock clock = v.metric.clock.value_or(ValueClock{});
  entry["clock"] = clock.clock;
  entry["ns"] = clock.ns;
  entry["announced"] = v.announced;
  return entry;
}

std::optional<std::int64_t> whole(const json& entry, const char* name) {
  const auto it = entry.find(name);
  if (it == entry.end() || !it->is_number_integer()) return std::nullopt;
  return it->get<std::int64_t>();
}

// One entry of the file, or nothing when it is not one this code writes.
std::optional<BufferedValue> value_of(const json& entry) {
  if (!entry.is_object()) return std::nullopt;
  const auto host = entry.find("host");
  const auto key = entry.find("key");
  const auto value = entry.find("value");
  const auto clock = whole(entry, "clock");
  const auto ns = whole(entry, "ns");
  const auto announced = whole(entry, "announced");
  if (host == entry.end() || !host->is_string() || key == entry.end() || !key->is_string() ||
      value == entry.end() || !clock || *clock < 0 || !ns || *ns < 0 || *ns > kMaxNs ||
      !announced || *announced < 0) {
    return std::nullopt;
  }
  MetricValue read;
  if (value->is_string()) {
    read = value->get<std::string>();
  } else if (value->is_number_integer()) {
    read = value->get<std::int64_t>();
  } else if (value->is_number_float()) {
    read = value->get<double>();
  } else {
    return std::nullopt;
  }
  return BufferedValue{
      .metric = {host->get<std::string>(), key->get<std::string>(), std::move(read),
                 ValueClock{*clock, static_cast<std::int32_t>(*ns)}},
      .announced = *announced};
}

// The values of the file's text; raises std::runtime_error with the cause
// when the text is not a buffer of this format.
std::vector<BufferedValue> parse(const std::string& text) {
  const json document = json::parse(text, nullptr, false);
  if (document.is_discarded()) throw std::runtime_error("não é JSON válido");
  if (!document.is_object() || !document.contains(kVersionKey) ||
      document[kVersionKey] != kVersion || !document.contains("values") ||
      !document["values"].is_array()) {
    throw std::runtime_error("não é um buffer persistente do quillet, versão " +
                             std::to_string(kVersion));
  }
  std::vector<BufferedValue> values;
  const json& entries = document["values"];
  values.reserve(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    auto value = value_of(entries[i]);
    if (!value) throw std::runtime_error("o valor " + std::to_string(i + 1) + " é inválido");
    values.push_back(std::move(*value));
  }
  return values;
}

// The whole file, or nothing when there is none; raises std::runtime_error
// with the cause when it cannot be read.
std::optional<std::string> file_text(const std::string& file) {
  const Fd fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW));
  if (!fd) {
    if (errno == ENOENT) return std::nullopt;
    throw std::runtime_error(std::strerror(errno));
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throw std::runtime_error(std::strerror(errno));
  if (!S_ISREG(st.st_mode)) throw std::runtime_error("não é um arquivo comum");
  std::string text;
  std::array<char, 65536> chunk{};
  while (true) {
    const ssize_t n = read_resuming(fd.get(), chunk.data(), chunk.size());
    if (n == 0) break;
    if (n < 0) throw std::runtime_error(std::strerror(errno));
    text.append(chunk.data(), static_cast<std::size_t>(n));
  }
  return text;
}

}  // namespace

PersistentBuffer::PersistentBuffer(std::string file, std::chrono::seconds period)
    : file_(std::move(file)), period_(period) {}

std::optional<Fd> PersistentBuffer::lock(bool wait) const {
  const std::string lock_file = file_ + ".lock";
  Fd fd(::open(lock_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600));
  if (!fd) throw error_of(errno);
  while (::flock(fd.get(), LOCK_EX | (wait ? 0 : LOCK_NB)) != 0) {
    if (errno == EWOULDBLOCK && !wait) return std::nullopt;
    if (errno != EINTR) throw error_of(errno);
  }
  return fd;
}

BufferContents PersistentBuffer::read(std::chrono::system_clock::time_point now) const {
  const std::int64_t now_seconds = value_clock(now).clock;
  BufferContents contents;
  try {
    const std::optional<std::string> text = file_text(file_);
    if (text) contents.values = parse(*text);
  } catch (const std::runtime_error& e) {
    contents.unreadable = e.what();
    contents.moved_to = file_ + ".ilegivel-" + std::to_string(now_seconds);
    if (::rename(file_.c_str(), contents.moved_to.c_str()) != 0) throw error_of(errno);
    return contents;
  }
  const std::int64_t oldest = now_seconds - period_.count();
  const auto kept = std::remove_if(
      contents.values.begin(), contents.values.end(),
      [&](const BufferedValue& v) { return v.metric.clock.value_or(ValueClock{}).clock < oldest; });
  contents.dropped = static_cast<std::size_t>(contents.values.end() - kept);
  contents.values.erase(kept, contents.values.end());
  return contents;
}

void PersistentBuffer::write(const std::vector<BufferedValue>& values) const {
  std::string text = "{\"";
  text += kVersionKey;
  text += "\":" + std::to_string(kVersion) + ",\"values\":[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    text += i == 0 ? "\n" : ",\n";
    text += entry_of(values[i]).dump();
  }
  text += "\n]}\n";

  // One name, under the lock: a temporary file that a crash left behind is
  // replaced here instead of piling up beside the buffer.
  const std::string temporary = file_ + ".tmp";
  if (::unlink(temporary.c_str()) != 0 && errno != ENOENT) throw error_of(errno);
  Fd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) throw error_of(errno);
  try {
    if (::fchmod(fd.get(), 0600) != 0) throw error_of(errno);
    write_all(fd.get(), text);
    if (::fsync(fd.get()) != 0) throw error_of(errno);
    if (::close(fd.release()) != 0) throw error_of(errno);
    if (::rename(temporary.c_str(), file_.c_str()) != 0) throw error_of(errno);
  } catch (const BufferError&) {
    ::unlink(temporary.c_str());
    throw;
  }
  // The rename is durable once the directory is on disk. The new contents are
  // in place whatever this says, so a failure here loses nothing to report.
  const Fd dir(::open(directory_of(file_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) ::fsync(dir.get());
}

}  // namespace quillet
