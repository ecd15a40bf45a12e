// Plain, slow reference code for the fuzz targets, written from the formats
// themselves and sharing nothing with the fast code under test. The checks are
// compiled without coverage instrumentation: they judge the code under test,
// the fuzzer should not steer by them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config.h"
#include "report.h"
#include "zabbix_sender.h"

namespace quillet::fuzz {

// Stops the run with a message unless `ok`; libFuzzer then keeps the input.
void check(bool ok, const char* what);

// `bytes` decoded as UTF-8 with decoding errors ignored: every byte that does
// not belong to a well-formed sequence is dropped, one at a time.
std::u32string decode_ignoring_errors(std::string_view bytes);
// The same, encoded again as UTF-8.
std::string drop_invalid_utf8(std::string_view bytes);

// Records equal field by field; percentages bit for bit, any NaN equal to any NaN.
bool same_records(const std::vector<SourceRecord>& a, const std::vector<SourceRecord>& b);

// The records of a report read by a plain reader that works on decoded code
// points, line by line.
std::vector<SourceRecord> reference_parse(std::string_view bytes);

// The `limit` records of greatest count, greatest first, by a stable sort:
// equal counts keep their order.
std::vector<SourceRecord> reference_ranking(std::vector<SourceRecord> records, std::size_t limit);

// Text that may reach the console: valid UTF-8 without C0, DEL or C1 controls.
void check_console_safe(std::string_view text);

// The discovery document of `records` read back with nlohmann-json.
void check_document(const std::string& doc, const std::vector<SourceRecord>& records);

// A configuration that parse_configuration accepted from `text`, against a plain
// reader of the lines: every key known, given once and with a value, exactly
// the keys its TLSConnect uses, each value and line as the text has them.
void check_configuration(std::string_view text, const std::string& file,
                         const Configuration& config);

// A sender request for `metrics`: built when every text is UTF-8, and then read
// back unchanged; refused whole with Failure otherwise.
void check_request(const std::vector<ZabbixMetric>& metrics);

}  // namespace quillet::fuzz
