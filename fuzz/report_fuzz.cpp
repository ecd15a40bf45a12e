// The dnstop report parser against a plain reference reader (reference.cpp)
// that works on decoded code points, line by line. Any difference in the
// records, or any crash, is a finding. The file reader, which takes the report
// a small piece at a time, must find the same records wherever the pieces
// break; the streaming top-twenty selection must agree with the stable sort.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "os.h"
#include "reference.h"
#include "report.h"

namespace {

// The input as a file, in memory: one descriptor for the whole run.
const std::string& as_file(std::string_view bytes) {
  static const quillet::Fd fd(::memfd_create("report", MFD_CLOEXEC));
  static const std::string path = "/proc/self/fd/" + std::to_string(fd.get());
  quillet::fuzz::check(
      fd && ::ftruncate(fd.get(), 0) == 0 &&
          ::pwrite(fd.get(), bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size()),
      "cannot write the input to a memory file");
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillet;
  using namespace quillet::fuzz;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  std::vector<SourceRecord> records;
  parse_report(bytes, [&](const RecordView& r) {
    records.push_back({std::string(r.source), r.contagem, r.percentual});
  });
  check(same_records(records, reference_parse(bytes)), "parser and reference reader disagree");

  // Pieces of 1 to 32 bytes, chosen by the input, so that boundaries and UTF-8
  // sequences fall across them.
  std::vector<SourceRecord> from_file;
  const std::size_t piece = size > 0 ? 1 + data[0] % 32 : 1;
  analisarRelatorio(
      as_file(bytes),
      [&](const RecordView& r) {
        from_file.push_back({std::string(r.source), r.contagem, r.percentual});
      },
      piece);
  check(same_records(records, from_file), "file reader differs from the parser");

  TopSelection top(kTopLimit);
  parse_report(bytes, [&](const RecordView& r) { top.add(r); });
  check(same_records(top.take(), reference_ranking(records, kTopLimit)),
        "top selection differs from the stable sort");
  return 0;
}
