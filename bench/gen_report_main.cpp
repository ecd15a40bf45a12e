// quillet_gen_report LINES [sources|full|unicode]
//
// Writes a generated dnstop report with LINES data lines in its "Sources" table
// to standard output.
#include <charconv>
#include <cstdio>
#include <iostream>
#include <string>
#include <string_view>

#include "report_gen.h"

int main(int argc, char** argv) {
  using quillet::bench::ReportStyle;
  std::size_t lines = 0;
  const std::string_view count = argc > 1 ? argv[1] : "";
  const auto [end, error] = std::from_chars(count.data(), count.data() + count.size(), lines);
  const std::string_view style_name = argc > 2 ? argv[2] : "sources";
  ReportStyle style = ReportStyle::sources;
  if (style_name == "full") {
    style = ReportStyle::full;
  } else if (style_name == "unicode") {
    style = ReportStyle::unicode;
  } else if (style_name != "sources") {
    std::cerr << "quillet_gen_report: unknown style " << style_name << '\n';
    return 2;
  }
  if (argc < 2 || argc > 3 || error != std::errc{} || end != count.data() + count.size()) {
    std::cerr << "usage: quillet_gen_report LINES [sources|full|unicode]\n";
    return 2;
  }
  const std::string report = quillet::bench::make_report(lines, style);
  if (std::fwrite(report.data(), 1, report.size(), stdout) != report.size() ||
      std::fflush(stdout) != 0) {
    std::perror("quillet_gen_report");
    return 1;
  }
  return 0;
}
