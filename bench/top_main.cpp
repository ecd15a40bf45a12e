// quillet_top REPORT
//
// The parsing and ranking of a collection run on its own: reads REPORT as the
// run reads its capture's report, keeps the twenty busiest sources and prints
// "address count" per line, greatest first. compare.sh sets it against an awk
// pipeline and a Python parse that print the same.
#include <iostream>
#include <string>

#include "failure.h"
#include "report.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: quillet_top REPORT\n";
    return 2;
  }
  try {
    quillet::TopSelection top(quillet::kTopLimit);
    quillet::analisarRelatorio(argv[1], [&](const quillet::RecordView& r) { top.add(r); });
    std::string out;
    for (const quillet::SourceRecord& r : top.ranked())
      out += r.source + ' ' + std::to_string(r.contagem) + '\n';
    std::cout << out << std::flush;
  } catch (const quillet::Failure& e) {
    std::cerr << "quillet_top: " << e.what() << '\n';
    return 1;
  }
  return std::cout ? 0 : 1;
}
