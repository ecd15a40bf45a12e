// Records in, discovery document out, then read back with nlohmann-json
// (reference.cpp): the document must be printable ASCII JSON of the fixed
// shape and every value must read back equal; NaN and Infinity, which nlohmann
// does not take, are compared by their spelling. The values a run sends for
// those records, host name and keys of any text, must travel unchanged inside
// a sender request, or be refused whole.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <variant>
#include <vector>

#include "collect.h"
#include "reference.h"
#include "report.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillet;
  using namespace quillet::fuzz;
  FuzzedDataProvider input(data, size);
  std::vector<SourceRecord> records(input.ConsumeIntegralInRange<std::size_t>(0, 25));
  for (SourceRecord& record : records) {
    record.source = input.ConsumeRandomLengthString(64);
    record.contagem = input.ConsumeIntegral<std::int64_t>();
    const auto bits = input.ConsumeIntegral<std::uint64_t>();
    std::memcpy(&record.percentual, &bits, sizeof bits);
  }

  const std::string doc = discovery_document(records);
  check_document(doc, records);
  for (const SourceRecord& record : records)
    (void)debug_line(record);

  const std::vector<ZabbixMetric> values = run_values(input.ConsumeRandomLengthString(32), records);
  check(values.size() == 1 + 2 * records.size() && std::get<std::string>(values[0].value) == doc,
        "the run's values are not the document and two per record");
  check_request(values);
  return 0;
}
