// A collection run's use of the persistent buffer: which buffered clients its
// discovery lists too, the values it keeps when the server cannot be reached,
// the drain of the values kept by earlier runs, and the console lines about
// all of it. The run reads the file once; what it adds is appended.
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
  // working directory) for the host `zabbix_host`, for a run that started at
  // `started`. Raises ConfigError when the buffer's directory belongs to
  // another user or others may write to it: before any capture.
  BufferRun(const Configuration& config, const CaptureSetup& capture, Context& ctx,
            std::string zabbix_host, std::chrono::system_clock::time_point started);

  // True once a line said something that makes the run end with status 1.
  bool failed() const { return failed_; }

  // Reads the buffer. The clients of the run's host that have values in it
  // but are not in `ranking`, each with its latest count and percentage, in
  // the order the buffer first has them: the run's discovery lists them too,
  // so that their items exist when their values are sent.
  std::vector<SourceRecord> clients(const std::vector<SourceRecord>& ranking);

  // Marks the buffered values of the `listed` clients, which a delivered
  // discovery has just listed: a run that starts from now on may send them.
  void announce(const std::vector<SourceRecord>& listed);

  // Keeps the run's `unsent` values (the discovery document is not kept: its
  // clients come back with their values' union) and prints `failed` with how
  // many were kept and what the buffer holds. `announced`: the run's
  // discovery, which lists their clients, was delivered.
  void keep(const std::vector<ZabbixMetric>& unsent, const std::string& failed, bool announced);

  // Sends the run's host's values announced before this run started, oldest
  // first, in requests of at most 250 values, one attempt each; each
  // delivered request leaves the buffer before the next goes out, and the
  // first that fails ends the drain. A request with values that Zabbix
  // refused stays in the buffer for the next runs. Skipped while another run
  // holds the lock, or when another run drained since this one read.
  void drain(ZabbixSender& zbx);

  // Zabbix refused the run's discovery: the host is unknown, disabled, not
  // linked to the template or not allowed, which its reply does not tell
  // apart. Its kept values stay until the period ends, as refused values
  // do (a host back from maintenance gets them); a line says how many.
  void refused();

  // Prints the line of a buffer that could not be written, if any, and how
  // many values wait for a later run.
  void report();

 private:
  // The lock, waited for as the run may: once a wait ran out, the run's later
  // uses try once.
  std::optional<Fd> lock();
  // Brings `contents_` up to what the file holds now.
  bool catch_up();
  // A buffer that cannot be written is said once per run, with every value
  // it cost: when the run keeps its values, or at the end.
  void write_failed(const std::string& why, std::size_t lost);

  PersistentBuffer buffer_;
  std::string period_text_;
  Context& ctx_;
  std::string host_;
  std::int64_t started_;  // the run's start, Unix nanoseconds
  std::chrono::milliseconds lock_wait_;
  BufferContents contents_;
  bool read_ = false;  // contents_ holds what the file held
  bool failed_ = false;
  bool said_left_ = false;   // a line already said what is left
  std::string write_error_;  // why the buffer could not be written, until said
  std::size_t lost_ = 0;     // the values that cost
};

}  // namespace quillet
