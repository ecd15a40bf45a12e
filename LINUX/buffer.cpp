#include "buffer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>
#include <thread>

#include "format.h"

namespace quillet {

namespace {

using nlohmann::json;

constexpr std::int64_t kMaxNs = 999999999;
// The header, its delivered offset padded with blanks to a fixed width so that
// a commit rewrites it in place.
constexpr std::string_view kHeaderStart = "{\"quillet_buffer\":2,\"sent\":";
constexpr std::size_t kSentWidth = 20;
constexpr std::size_t kHeaderSize = kHeaderStart.size() + kSentWidth + 2;  // "}\n"
constexpr std::string_view kFirstFormat = "{\"quillet_buffer\":1,\"values\":[";
// A first line longer than this is no header of either format.
constexpr std::size_t kMaxHeaderLine = 256;
constexpr std::size_t kChunk = std::size_t{1} << 16;
constexpr std::chrono::milliseconds kLockPoll{50};

BufferError error_of(int err) {
  return BufferError(std::strerror(err));
}

void write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw error_of(errno);
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::string sent_field(std::uint64_t offset) {
  std::string field = std::to_string(offset);
  field.resize(kSentWidth, ' ');
  return field;
}

std::string header(std::uint64_t sent) {
  return std::string(kHeaderStart) + sent_field(sent) + "}\n";
}

// The directory opened and checked; nothing when it does not exist.
Fd checked_directory(const std::string& directory) {
  Fd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) {
    if (errno == ENOENT) return dir;
    throw error_of(errno);
  }
  struct stat st {};
  if (::fstat(dir.get(), &st) != 0) throw error_of(errno);
  // Whoever may write there may plant values or swap the file.
  const uid_t euid = ::geteuid();
  if (st.st_uid != 0 && st.st_uid != euid) {
    throw BufferError("o diretório " + directory + " pertence ao uid " + std::to_string(st.st_uid) +
                      "; deve pertencer a root" +
                      (euid == 0 ? "" : " ou ao uid " + std::to_string(euid)) + "; use chown");
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    std::array<char, 8> mode{};
    std::snprintf(mode.data(), mode.size(), "%04o", static_cast<unsigned>(st.st_mode & 07777));
    throw BufferError("o diretório " + directory + " tem permissões " + mode.data() +
                      ", que permitem escrita por grupo ou outros; use chmod 700");
  }
  return dir;
}

std::uint64_t key_of(std::uint32_t host, std::uint32_t key) {
  return (std::uint64_t{host} << 32) | key;
}

void append_value(std::string& out, const std::string& host, const std::string& key,
                  const MetricValue& value, std::int64_t clock, std::int32_t ns,
                  std::int64_t announced, std::uint16_t refused) {
  out += "{\"host\":";
  append_json_string(out, host);
  out += ",\"key\":";
  append_json_string(out, key);
  out += ",\"value\":";
  if (const auto* whole = std::get_if<std::int64_t>(&value)) {
    out += std::to_string(*whole);
  } else if (const auto* real = std::get_if<double>(&value); real && std::isfinite(*real)) {
    append_double(out, *real);
  } else {
    // Text, or a number JSON cannot hold, kept as the text it is sent as.
    append_json_string(out, value_text(value));
  }
  out += ",\"clock\":" + std::to_string(clock) + ",\"ns\":" + std::to_string(ns) +
         ",\"announced\":" + std::to_string(announced);
  if (refused > 0) out += ",\"refused\":" + std::to_string(refused);
  out += '}';
}

std::optional<std::int64_t> whole(const json& entry, const char* name) {
  const auto it = entry.find(name);
  if (it == entry.end() || !it->is_number_integer()) return std::nullopt;
  return it->get<std::int64_t>();
}

// One value of the file, or nothing when it is not one this code writes.
std::optional<BufferedValue> value_of(const json& entry, BufferContents& contents) {
  if (!entry.is_object()) return std::nullopt;
  const auto host = entry.find("host");
  const auto key = entry.find("key");
  const auto value = entry.find("value");
  const auto clock = whole(entry, "clock");
  const auto ns = whole(entry, "ns");
  const auto announced = whole(entry, "announced");
  const auto refused = entry.contains("refused") ? whole(entry, "refused") : 0;
  if (host == entry.end() || !host->is_string() || key == entry.end() || !key->is_string() ||
      value == entry.end() || !clock || *clock < 0 || !ns || *ns < 0 || *ns > kMaxNs ||
      !announced || *announced < 0 || !refused || *refused < 0 || *refused > 0xffff) {
    return std::nullopt;
  }
  BufferedValue read;
  if (value->is_string()) {
    read.kind = BufferedValue::Kind::text;
    read.text = contents.name(value->get_ref<const std::string&>());
  } else if (value->is_number_integer()) {
    read.kind = BufferedValue::Kind::whole;
    read.whole = value->get<std::int64_t>();
  } else if (value->is_number_float()) {
    read.kind = BufferedValue::Kind::real;
    read.real = value->get<double>();
  } else {
    return std::nullopt;
  }
  read.host = contents.name(host->get_ref<const std::string&>());
  read.key = contents.name(key->get_ref<const std::string&>());
  read.clock = *clock;
  read.ns = static_cast<std::int32_t>(*ns);
  read.announced = *announced;
  read.refused = static_cast<std::uint16_t>(*refused);
  return read;
}

// The values, announcements and damage of one line after the header.
class LineReader {
 public:
  LineReader(BufferContents& contents, std::int64_t oldest)
      : contents_(contents), oldest_(oldest) {}

  void line(std::string_view text) {
    if (text.ends_with(',')) text.remove_suffix(1);  // an entry of the first format
    if (text.empty() || text == "]}") return;
    const json record = json::parse(text, nullptr, false);
    if (record.is_discarded() || !record.is_object()) {
      ++contents_.damaged;
      return;
    }
    if (const auto values = record.find("values"); values != record.end()) {
      if (!values->is_array()) {
        ++contents_.damaged;
        return;
      }
      for (const json& entry : *values)
        value(entry);
    } else if (record.contains("announce")) {
      announce(record);
    } else {
      value(record);
    }
  }

 private:
  void value(const json& entry) {
    std::optional<BufferedValue> read = value_of(entry, contents_);
    if (!read) {
      ++contents_.damaged;
      return;
    }
    if (read->clock < oldest_) {
      ++contents_.dropped;
      if (read->refused > 0) ++contents_.dropped_refused;
      return;
    }
    contents_.add(*read);
  }

  void announce(const json& record) {
    const auto at = whole(record, "announce");
    const auto host = record.find("host");
    const auto keys = record.find("keys");
    if (!at || *at <= 0 || host == record.end() || !host->is_string() || keys == record.end() ||
        !keys->is_array()) {
      ++contents_.damaged;
      return;
    }
    const std::uint32_t host_name = contents_.name(host->get_ref<const std::string&>());
    for (const json& key : *keys) {
      if (key.is_string()) {
        contents_.announce(host_name, contents_.name(key.get_ref<const std::string&>()), *at);
      }
    }
  }

  BufferContents& contents_;
  std::int64_t oldest_;
};

}  // namespace

std::uint32_t BufferContents::name(std::string_view text) {
  const auto [it, added] =
      numbers_.try_emplace(std::string(text), static_cast<std::uint32_t>(names_.size()));
  if (added) names_.push_back(it->first);
  return it->second;
}

void BufferContents::add(const BufferedValue& value) {
  if (value.announced == 0) {
    waiting_[key_of(value.host, value.key)].push_back(static_cast<std::uint32_t>(values.size()));
  }
  values.push_back(value);
}

void BufferContents::announce(std::uint32_t host, std::uint32_t key, std::int64_t at) {
  const auto waiting = waiting_.find(key_of(host, key));
  if (waiting == waiting_.end()) return;
  for (const std::uint32_t i : waiting->second)
    values[i].announced = at;
  waiting_.erase(waiting);
}

void BufferContents::add(const ZabbixMetric& metric, std::int64_t announced,
                         std::uint16_t refused) {
  BufferedValue v;
  v.host = name(metric.host);
  v.key = name(metric.key);
  if (const auto* text = std::get_if<std::string>(&metric.value)) {
    v.kind = BufferedValue::Kind::text;
    v.text = name(*text);
  } else if (const auto* whole = std::get_if<std::int64_t>(&metric.value)) {
    v.whole = *whole;
  } else {
    v.kind = BufferedValue::Kind::real;
    v.real = std::get<double>(metric.value);
  }
  const ValueClock clock = metric.clock.value_or(ValueClock{});
  v.clock = clock.clock;
  v.ns = clock.ns;
  v.announced = announced;
  v.refused = refused;
  add(v);
}

ZabbixMetric BufferContents::metric(const BufferedValue& v) const {
  MetricValue value;
  switch (v.kind) {
    case BufferedValue::Kind::text:
      value = names_[v.text];
      break;
    case BufferedValue::Kind::whole:
      value = v.whole;
      break;
    case BufferedValue::Kind::real:
      value = v.real;
      break;
  }
  return {names_[v.host], names_[v.key], std::move(value), ValueClock{v.clock, v.ns}};
}

PersistentBuffer::PersistentBuffer(std::string file, std::chrono::seconds period, FileRead read)
    : file_(std::move(file)), period_(period), read_(read) {
  const std::size_t slash = file_.rfind('/');
  directory_ = slash == std::string::npos ? "." : slash == 0 ? "/" : file_.substr(0, slash);
  name_ = slash == std::string::npos ? file_ : file_.substr(slash + 1);
}

void PersistentBuffer::open_directory() {
  dir_ = checked_directory(directory_);
}

int PersistentBuffer::at() const {
  if (!dir_) {
    // Absent when the run began, or not opened yet: it may have been made
    // since by anyone, so it is checked as at the start.
    dir_ = checked_directory(directory_);
    if (!dir_) throw error_of(ENOENT);
  }
  return dir_.get();
}

Fd PersistentBuffer::open_file(int access) const {
  Fd fd(::openat(at(), name_.c_str(), access | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW));
  if (!fd && errno != ENOENT) throw error_of(errno);
  return fd;
}

bool PersistentBuffer::is_file_of(int fd, const BufferContents& contents) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) throw error_of(errno);
  if (st.st_dev != contents.device_ || st.st_ino != contents.inode_ ||
      static_cast<std::uint64_t>(st.st_size) < contents.end_) {
    return false;
  }
  if (contents.sent_ < kHeaderSize) return true;  // the first format: no offset
  std::array<char, kSentWidth> field{};
  return ::pread(fd, field.data(), field.size(), kHeaderStart.size()) ==
             static_cast<ssize_t>(field.size()) &&
         std::string_view(field.data(), field.size()) == sent_field(contents.sent_);
}

std::optional<Fd> PersistentBuffer::lock(std::chrono::milliseconds wait) const {
  const std::string lock_file = name_ + ".lock";
  Fd fd(::openat(at(), lock_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY,
                 0600));
  if (!fd) throw error_of(errno);
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) throw error_of(errno);
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(kLockPoll);
  }
  return fd;
}

void PersistentBuffer::read_from(int fd, std::uint64_t from,
                                 std::chrono::system_clock::time_point now,
                                 BufferContents& contents) const {
  LineReader lines(contents, value_clock(now).clock - period_.count());
  if (::lseek(fd, static_cast<off_t>(from), SEEK_SET) < 0) throw error_of(errno);
  std::string carry;
  std::string chunk(kChunk, '\0');
  std::uint64_t end = from;
  bool dead = contents.values.empty();
  contents.dead_to_ = from;
  const auto line = [&](std::string_view text, std::uint64_t line_end) {
    const std::size_t before = contents.values.size();
    lines.line(text);
    dead = dead && contents.values.size() == before;
    if (dead) contents.dead_to_ = line_end;
  };
  while (true) {
    const ssize_t n = read_(fd, chunk.data(), chunk.size());
    if (n < 0) throw error_of(errno);
    if (n == 0) break;
    end += static_cast<std::uint64_t>(n);
    std::string_view data(chunk.data(), static_cast<std::size_t>(n));
    for (std::size_t newline; (newline = data.find('\n')) != std::string_view::npos;) {
      const std::uint64_t line_end = end - data.size() + newline + 1;
      if (carry.empty()) {
        line(data.substr(0, newline), line_end);
      } else {
        carry.append(data.substr(0, newline));
        line(carry, line_end);
        carry.clear();
      }
      data.remove_prefix(newline + 1);
    }
    carry.append(data);
  }
  // A last line without its end: a write that a crash cut short.
  if (!carry.empty()) ++contents.damaged;
  contents.end_ = end;
}

BufferContents PersistentBuffer::read(std::chrono::system_clock::time_point now) const {
  BufferContents contents;
  const Fd fd = open_file(O_RDONLY);
  if (!fd) return contents;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throw error_of(errno);
  std::string first;
  if (S_ISREG(st.st_mode)) {
    std::array<char, kMaxHeaderLine> head{};
    std::size_t got = 0;
    while (got < head.size() && first.find('\n') == std::string::npos) {
      const ssize_t n = read_(fd.get(), head.data(), head.size() - got);
      if (n < 0) throw error_of(errno);
      if (n == 0) break;
      first.append(head.data(), static_cast<std::size_t>(n));
      got += static_cast<std::size_t>(n);
    }
    first = first.substr(0, first.find('\n'));
  }
  std::uint64_t from = 0;
  if (!S_ISREG(st.st_mode)) {
    contents.unreadable = "não é um arquivo comum";
  } else if (first == kFirstFormat) {
    from = kFirstFormat.size() + 1;
    contents.stale = true;
  } else if (first.starts_with(kHeaderStart) && first.size() + 1 == kHeaderSize) {
    const json head = json::parse(first, nullptr, false);
    const auto sent = head.is_discarded() ? std::nullopt : whole(head, "sent");
    if (!sent || *sent < static_cast<std::int64_t>(kHeaderSize) || *sent > st.st_size) {
      contents.unreadable = "cabeçalho inválido";
    } else {
      from = static_cast<std::uint64_t>(*sent);
    }
  } else if (st.st_size == 0) {
    return contents;  // created, then cut short before its header
  } else {
    contents.unreadable = "não é um buffer persistente do quillet";
  }
  if (!contents.unreadable.empty()) {
    contents.moved_to = file_ + ".ilegivel-" + std::to_string(value_clock(now).clock);
    const std::string moved = name_ + ".ilegivel-" + std::to_string(value_clock(now).clock);
    if (::renameat(at(), name_.c_str(), at(), moved.c_str()) != 0) throw error_of(errno);
    return contents;
  }
  contents.values.reserve(static_cast<std::size_t>(st.st_size) / 128);
  read_from(fd.get(), from, now, contents);
  contents.stale = contents.stale || contents.dropped > 0 || contents.damaged > 0;
  contents.device_ = st.st_dev;
  contents.inode_ = st.st_ino;
  contents.sent_ = from;
  return contents;
}

bool PersistentBuffer::read_more(std::chrono::system_clock::time_point now,
                                 BufferContents& contents) const {
  const Fd fd = open_file(O_RDONLY);
  if (!fd || !is_file_of(fd.get(), contents)) return false;
  read_from(fd.get(), contents.end_, now, contents);
  return true;
}

void PersistentBuffer::append_line(const std::string& line) const {
  Fd fd = open_file(O_RDWR | O_APPEND);
  if (!fd) {
    BufferContents empty;
    rewrite(empty, {}, 1);
    fd = open_file(O_RDWR | O_APPEND);
    if (!fd) throw error_of(ENOENT);
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throw error_of(errno);
  if (!S_ISREG(st.st_mode)) throw error_of(EINVAL);
  // After a torn last line, the record starts a line of its own; a file that
  // a crash left empty gets its header first.
  char last = '\n';
  if (st.st_size > 0 && ::pread(fd.get(), &last, 1, st.st_size - 1) != 1) throw error_of(errno);
  try {
    write_all(fd.get(), (st.st_size == 0 ? header(kHeaderSize) : last == '\n' ? "" : "\n") + line);
    if (::fdatasync(fd.get()) != 0) throw error_of(errno);
  } catch (const BufferError&) {
    // What part of the record got in goes again: the file is as it was.
    if (::ftruncate(fd.get(), st.st_size) == 0) ::fdatasync(fd.get());
    throw;
  }
}

void PersistentBuffer::append(const std::vector<ZabbixMetric>& values,
                              std::int64_t announced) const {
  if (values.empty()) return;
  std::string line = "{\"values\":[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) line += ',';
    const ValueClock clock = values[i].clock.value_or(ValueClock{});
    append_value(line, values[i].host, values[i].key, values[i].value, clock.clock, clock.ns,
                 announced, 0);
  }
  line += "]}\n";
  append_line(line);
}

void PersistentBuffer::append(const BufferContents& contents,
                              const std::vector<std::uint32_t>& values) const {
  if (values.empty()) return;
  std::string line = "{\"values\":[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) line += ',';
    const BufferedValue& v = contents.values[values[i]];
    append_value(line, contents.text(v.host), contents.text(v.key), contents.metric(v).value,
                 v.clock, v.ns, v.announced, v.refused);
  }
  line += "]}\n";
  append_line(line);
}

void PersistentBuffer::announce(const std::string& host, const std::vector<std::string>& keys,
                                std::int64_t at) const {
  std::string line = "{\"announce\":" + std::to_string(at) + ",\"host\":";
  append_json_string(line, host);
  line += ",\"keys\":[";
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (i > 0) line += ',';
    append_json_string(line, keys[i]);
  }
  line += "]}\n";
  append_line(line);
}

void PersistentBuffer::skip_dead(BufferContents& contents) const {
  if (contents.sent_ < kHeaderSize || contents.dead_to_ <= contents.sent_) return;
  mark_sent(contents, contents.dead_to_);
}

std::vector<std::uint64_t> PersistentBuffer::rewrite(BufferContents& contents,
                                                     const std::vector<std::uint32_t>& values,
                                                     std::size_t per_record,
                                                     std::size_t split) const {
  // One name, under the lock: a temporary file that a crash left behind is
  // replaced here instead of piling up beside the buffer.
  const std::string temporary = name_ + ".tmp";
  if (::unlinkat(at(), temporary.c_str(), 0) != 0 && errno != ENOENT) throw error_of(errno);
  Fd fd(::openat(at(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                 0600));
  if (!fd) throw error_of(errno);
  std::vector<std::uint64_t> ends;
  struct stat st {};
  try {
    if (::fchmod(fd.get(), 0600) != 0) throw error_of(errno);
    std::string text = header(kHeaderSize);
    std::uint64_t offset = 0;
    for (std::size_t i = 0, last; i < values.size(); i = last) {
      last = std::min(values.size(), i + per_record);
      if (i < split && split < last) last = split;
      text += "{\"values\":[";
      for (std::size_t j = i; j < last; ++j) {
        if (j > i) text += ',';
        const BufferedValue& v = contents.values[values[j]];
        append_value(text, contents.text(v.host), contents.text(v.key), contents.metric(v).value,
                     v.clock, v.ns, v.announced, v.refused);
      }
      text += "]}\n";
      ends.push_back(offset + text.size());
      if (text.size() >= kChunk) {
        write_all(fd.get(), text);
        offset += text.size();
        text.clear();
      }
    }
    write_all(fd.get(), text);
    if (::fsync(fd.get()) != 0 || ::fstat(fd.get(), &st) != 0) throw error_of(errno);
    if (::close(fd.release()) != 0) throw error_of(errno);
    if (::renameat(at(), temporary.c_str(), at(), name_.c_str()) != 0) throw error_of(errno);
  } catch (const BufferError&) {
    ::unlinkat(at(), temporary.c_str(), 0);
    throw;
  }
  // The rename is durable once the directory is on disk. The new contents are
  // in place whatever this says, so a failure here loses nothing to report.
  ::fsync(at());
  contents.device_ = st.st_dev;
  contents.inode_ = st.st_ino;
  contents.end_ = static_cast<std::uint64_t>(st.st_size);
  contents.sent_ = contents.dead_to_ = kHeaderSize;
  return ends;
}

bool PersistentBuffer::mark_sent(BufferContents& contents, std::uint64_t offset) const {
  const Fd fd = open_file(O_RDWR);
  if (!fd || !is_file_of(fd.get(), contents)) return false;
  const std::string field = sent_field(offset);
  if (::pwrite(fd.get(), field.data(), field.size(), kHeaderStart.size()) !=
      static_cast<ssize_t>(field.size())) {
    throw error_of(errno == 0 ? EIO : errno);
  }
  if (::fdatasync(fd.get()) != 0) throw error_of(errno);
  contents.sent_ = offset;
  return true;
}

void PersistentBuffer::commit(BufferContents& contents, std::uint64_t offset) const {
  if (!mark_sent(contents, offset)) throw BufferError("o arquivo mudou desde que foi lido");
}

}  // namespace quillet
