// The dnstop report parser against a plain reference reader (reference.cpp)
// that works on decoded code points, line by line. Any difference in the
// records, or any crash, is a finding. The streaming top-twenty selection is
// checked against the stable sort of the same records.
#include <cstdint>
#include <string_view>
#include <vector>

#include "reference.h"
#include "report.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillet;
  using namespace quillet::fuzz;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  const std::vector<SourceRecord> records = parse_report(bytes);
  check(same_records(records, reference_parse(bytes)), "parser and reference reader disagree");

  TopSelection top(TOP_LIMIT);
  parse_report(bytes, [&](const RecordView& r) { top.add(r); });
  check(same_records(top.take(), rank_top(records, TOP_LIMIT)),
        "top selection differs from the stable sort");
  return 0;
}
