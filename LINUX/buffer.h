// The persistent buffer: the item values that runs could not deliver, kept in
// a file with their clocks until a later run delivers them.
//
// The file is a log that grows at its end, one JSON record per line:
//   {"quillet_buffer":2,"sent":N}   the header, padded to a fixed width
//   {"values":[V,...]}              values kept by one run, or one request's worth
//   {"announce":T,"host":H,"keys":[K,...]}
// with V = {"host","key","value","clock","ns","announced"[,"refused"]}. The
// bytes before offset N are delivered: a drain commits each request by
// rewriting N in place, so the cost of a request does not depend on what is
// left, and a crash resends at most the request in flight. A record that
// cannot be read is skipped alone; a value that cannot be read is skipped alone
// within its record.
//
// A value travels as the JSON type it had (text, whole or floating-point
// number), so it is sent again as the same text; a number that JSON cannot
// hold (NaN, Infinity) is kept as that text. "announced" is the moment (Unix
// nanoseconds) at which a delivered discovery listed the value's client, 0
// until then: an "announce" record sets it for the values before it of the
// host and keys it names. "refused" counts the drains whose request with the
// value Zabbix answered with refusals.
//
// The first format, {"quillet_buffer":1,"values":[...]} with one value per
// line, is read the same way and rewritten in this one.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "os.h"
#include "zabbix_sender.h"

namespace quillet {

// A buffered value, its texts held by the BufferContents it belongs to: a
// week of values fits in a few tens of megabytes.
struct BufferedValue {
  enum class Kind : std::uint8_t { text, whole, real };
  std::uint32_t host = 0, key = 0, text = 0;  // names in the contents
  Kind kind = Kind::whole;
  std::uint16_t refused = 0;
  std::int32_t ns = 0;
  std::int64_t whole = 0;
  double real = 0.0;
  std::int64_t clock = 0;
  std::int64_t announced = 0;
};

// The buffer file, its lock or its directory could not be used; what() is the
// system's text for the cause.
class BufferError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What reading the file found.
class BufferContents {
 public:
  std::vector<BufferedValue> values;  // in the file's order
  std::size_t dropped = 0;            // older than the period: left out
  std::size_t dropped_refused = 0;    // of those, refused by Zabbix before
  std::size_t damaged = 0;            // records or values that could not be read
  std::string unreadable;             // why the file is not a buffer; empty: it is
  std::string moved_to;               // where the unreadable file went
  bool stale = false;                 // to be rewritten: old format, or values left out

  // The number of `text` in the contents' texts, added when new.
  std::uint32_t name(std::string_view text);
  const std::string& text(std::uint32_t name) const { return names_[name]; }

  void add(const ZabbixMetric& metric, std::int64_t announced, std::uint16_t refused = 0);
  void add(const BufferedValue& value);
  // What an "announce" record does: the values of `host`'s `key` so far that
  // were not announced are announced `at`.
  void announce(std::uint32_t host, std::uint32_t key, std::int64_t at);
  ZabbixMetric metric(const BufferedValue& value) const;

 private:
  friend class PersistentBuffer;
  std::vector<std::string> names_;
  std::unordered_map<std::string, std::uint32_t> numbers_;
  // The values not yet announced, by host and key.
  std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> waiting_;
  // The file read: its identity and where reading ended.
  dev_t device_ = 0;
  ino_t inode_ = 0;
  std::uint64_t end_ = 0;
  std::uint64_t sent_ = 0;
  std::uint64_t dead_to_ = 0;  // the end of the records before the first live value
};

// How a run reads and writes the file. The file lives in a directory owned
// by root or the run's user that nobody else may write, opened once: every
// file is opened relative to it.
class PersistentBuffer {
 public:
  // Reads the file with `read` (tests inject failures), by default
  // read_resuming.
  using FileRead = ssize_t (*)(int fd, char* into, std::size_t room);
  PersistentBuffer(std::string file, std::chrono::seconds period, FileRead read = read_resuming);

  const std::string& file() const { return file_; }

  // Opens and checks the directory. Raises BufferError with the problem in
  // Portuguese when another user owns it or may write to it; a directory
  // that does not exist is opened and checked the same way at the first use
  // of the file, which reports it.
  void open_directory();

  // An exclusive flock on "<file>.lock" (created with mode 0600), held until
  // the descriptor closes, waited for at most `wait`: nothing when another
  // process still holds it then. Raises BufferError when the lock file cannot
  // be opened or locked.
  std::optional<Fd> lock(std::chrono::milliseconds wait) const;

  // The values the file holds past what was delivered, under the lock,
  // without those whose clock is more than the period before `now`. No file
  // reads as no values. A file that is not a buffer of either format is
  // renamed to "<file>.ilegivel-<now in Unix seconds>" and reads as no
  // values. Raises BufferError when the file cannot be read (the file is left
  // as it is) or renamed.
  BufferContents read(std::chrono::system_clock::time_point now) const;

  // Adds to `contents` what was appended to the file since it was read.
  // False, and `contents` unchanged, when the file was replaced or drained
  // meanwhile. Raises BufferError as read() does.
  bool read_more(std::chrono::system_clock::time_point now, BufferContents& contents) const;

  // Appends one record of `values`, under the lock, and syncs it. A torn
  // last line that a crash left stays a record of its own. A write that
  // fails part-way is cut off again, and BufferError says why.
  void append(const std::vector<ZabbixMetric>& values, std::int64_t announced) const;
  void append(const BufferContents& contents, const std::vector<std::uint32_t>& values) const;
  // Appends an "announce" record for `keys` of `host`.
  void announce(const std::string& host, const std::vector<std::string>& keys,
                std::int64_t at) const;

  // Marks the records at the start of the file that hold no value left
  // (older than the period, or damaged) delivered, so that they are said once.
  // Only in the file `contents` was read from, while it still holds the
  // offset read: a file that another run replaced or marked since is left
  // as it is.
  void skip_dead(BufferContents& contents) const;

  // Replaces the file by `contents`' `values` in that order, in records of at
  // most `per_record` values, one starting at `split` too, under the lock: a temporary file in the
  // same directory with mode 0600, fsync, rename over the file, fsync of the directory. A crash
  // leaves the old or the new file. Returns the offset at which each record ends; `contents` then
  // stands for the new file, which its commits mark. On failure the old file is intact, the
  // temporary file is gone and BufferError says why.
  std::vector<std::uint64_t> rewrite(BufferContents& contents,
                                     const std::vector<std::uint32_t>& values,
                                     std::size_t per_record, std::size_t split = 0) const;

  // Marks what lies before `offset` delivered in the file `contents` stands
  // for and syncs it. Raises BufferError, writing nothing, when the name
  // holds another file now or the file's offset changed since.
  void commit(BufferContents& contents, std::uint64_t offset) const;

 private:
  int at() const;  // the directory, opened and checked at its first use
  // The file opened with `access` (and never following a link), or nothing
  // when there is none; raises BufferError for any other failure.
  Fd open_file(int access) const;
  // Whether `fd` is the file `contents` stands for, grown at most, with the
  // delivered offset it had.
  static bool is_file_of(int fd, const BufferContents& contents);
  // Writes `offset` into the header of the file `contents` stands for; false,
  // with nothing written, when the name no longer holds it as it was.
  bool mark_sent(BufferContents& contents, std::uint64_t offset) const;
  void read_from(int fd, std::uint64_t from, std::chrono::system_clock::time_point now,
                 BufferContents& contents) const;
  void append_line(const std::string& line) const;

  std::string file_;
  std::string name_;  // within the directory
  std::string directory_;
  std::chrono::seconds period_;
  FileRead read_;
  mutable Fd dir_;
};

}  // namespace quillet
