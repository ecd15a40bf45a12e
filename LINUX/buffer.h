// The persistent buffer: the item values that runs could not deliver, kept in
// a file with their clocks until a later run delivers them.
//
// The file is JSON: {"quillet_buffer":1,"values":[...]}, one value per line,
// each {"host","key","value","clock","ns","announced"}. A value
// travels as the JSON type it had (text, whole or floating-point number), so it
// is sent again as the same text. "announced" is the moment (Unix
// nanoseconds) at which a delivered discovery listed the value's client, 0
// until then: only a run that started later sends the value.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "os.h"
#include "zabbix_sender.h"

namespace quillet {

struct BufferedValue {
  ZabbixMetric metric;  // with its clock
  std::int64_t announced = 0;
};

// The buffer file or its lock could not be written or taken; what() is the
// system's text for the cause.
class BufferError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What reading the file found.
struct BufferContents {
  std::vector<BufferedValue> values;  // in the file's order
  std::size_t dropped = 0;            // older than the period: left out
  std::string unreadable;             // why the file could not be read; empty: it could
  std::string moved_to;               // where the unreadable file went
};

class PersistentBuffer {
 public:
  PersistentBuffer(std::string file, std::chrono::seconds period);

  const std::string& file() const { return file_; }

  // An exclusive flock on "<file>.lock" (created with mode 0600), held until
  // the descriptor closes. With `wait`, waits for another holder; without,
  // returns nothing while another holds it. Raises BufferError when the lock
  // file cannot be opened or locked.
  std::optional<Fd> lock(bool wait) const;

  // The file's values, read under the lock, without those whose clock is more
  // than the period before `now`. No file reads as no values. A file that
  // cannot be read or is not a buffer of this format is renamed to
  // "<file>.ilegivel-<now in Unix seconds>" and reads as no values. Raises
  // BufferError when it cannot be renamed.
  BufferContents read(std::chrono::system_clock::time_point now) const;

  // Replaces the file's contents with `values`, under the lock: a temporary
  // file in the same directory with mode 0600, fsync, rename over the file,
  // fsync of the directory. A crash leaves the old or the new contents. On
  // failure the old file is intact, the temporary file is gone and BufferError
  // says why.
  void write(const std::vector<BufferedValue>& values) const;

 private:
  std::string file_;
  std::chrono::seconds period_;
};

}  // namespace quillet
