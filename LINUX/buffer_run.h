// A collection run's use of the persistent buffer: which buffered clients its
// discovery lists too, the values it keeps when the server cannot be reached,
// the drain of the values kept by earlier runs, and the console lines about
// all of it.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "buffer.h"
#include "capture.h"
#include "config.h"
#include "context.h"
#include "report.h"
#include "zabbix_sender.h"

namespace quillet {

class BufferRun {
 public:
  // The buffer `config` names (by default "quillet.buffer" in the capture's
  // working directory), for a run that started at `started`, before its
  // capture.
  BufferRun(const Configuration& config, const CaptureSetup& capture, Context& ctx,
            std::chrono::system_clock::time_point started);

  // True once a line said something that makes the run end with status 1.
  bool failed() const { return failed_; }

  // The clients of `zabbix_host` that have values in the buffer but are not
  // in `ranking`, each with its latest count and percentage, in the order the
  // buffer first has them: the run's discovery lists them too, so that their
  // items exist when their values are sent.
  std::vector<SourceRecord> clients(const std::string& zabbix_host,
                                    const std::vector<SourceRecord>& ranking);

  // Marks the buffered values of `zabbix_host`'s `listed` clients, which a
  // delivered discovery has just listed: a run that starts from now on may
  // send them.
  void announce(const std::string& zabbix_host, const std::vector<SourceRecord>& listed);

  // Keeps the run's `unsent` values (the discovery document is not kept: its
  // clients come back with their values' union) and prints `failed` with how
  // many were kept and what the buffer holds. `announced`: the run's
  // discovery, which lists their clients, was delivered.
  void keep(const std::vector<ZabbixMetric>& unsent, const std::string& failed, bool announced);

  // Sends the values announced before this run started, oldest first, in
  // requests of at most 250 values, one attempt each; each delivered request
  // leaves the buffer before the next goes out, and the first that fails ends
  // the drain. Skipped while another run holds the lock: that one is
  // draining.
  void drain(ZabbixSender& zbx);

  // Prints the line of a buffer that could not be written, if any.
  void report();

 private:
  // The buffer's values, with the lines about what reading found. Raises
  // BufferError when an unreadable file cannot be moved aside.
  std::vector<BufferedValue> read_into();
  // One read-modify-write under the lock (waiting for it with `wait`):
  // `change` edits the values and says whether they changed; the file is
  // rewritten then, or when reading dropped values. False when the buffer
  // could not be used; its line then counts `lost` values.
  template <typename Change>
  bool update(bool wait, const Change& change, std::size_t lost = 0);
  // A buffer that cannot be written is said once per run, with every value
  // it cost: when the run keeps its values, or at the end.
  void write_failed(const BufferError& e, std::size_t lost);

  PersistentBuffer buffer_;
  std::string period_text_;
  Context& ctx_;
  std::int64_t started_;  // the run's start, Unix nanoseconds
  bool failed_ = false;
  bool dropped_ = false;
  std::string write_error_;  // why the buffer could not be written, until said
  std::size_t lost_ = 0;     // the values that cost
};

}  // namespace quillet
