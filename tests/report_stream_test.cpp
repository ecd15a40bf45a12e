// The report read from its file a piece at a time must give exactly what the
// whole text gives, wherever the pieces are cut, and must stop reading where
// the table ends.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "os.h"
#include "report.h"
#include "scratch.h"

namespace quillet {
namespace {

using testing::ScratchDir;

}  // namespace

// Failure messages show records as text.
void PrintTo(const SourceRecord& r, std::ostream* out) {
  *out << r.source << ' ' << r.contagem << ' ' << r.percentual;
}

namespace {

std::vector<SourceRecord> from_file(const std::string& path, std::size_t chunk_size) {
  std::vector<SourceRecord> records;
  parse_report_file(
      path,
      [&](const RecordView& r) {
        records.push_back({std::string(r.source), r.contagem, r.percentual});
      },
      chunk_size);
  return records;
}

// Texts whose lines, boundaries and characters straddle small pieces.
TEST(ReportFromFile, AnyPieceSizeGivesTheWholeTextsRecords) {
  const std::string header = "Sources          Count      %   cum%\n";
  const std::string texts[] = {
      header + "192.0.2.10 152 61.3 61.3\n2001:db8::1 40 16.1 77.4\n",
      // no boundary at the end
      header + "192.0.2.10 152 61.3 61.3",
      // CR LF, lone CR, U+2028, U+0085 and form feed between records
      header + "192.0.2.1 1 1 x\r\n192.0.2.2 2 2 x\r192.0.2.3 3 3 x\u2028192.0.2.4 4 4 x\u0085" +
          "192.0.2.5 5 5 x\f192.0.2.6 6 6 x",
      // wide white space, invalid and cut sequences inside and between fields
      header + "\u3000192.0.\xff" + "2.7\u00a07\xe2\x80 7\u2003x\n192.0.2.8\xc3 8 8.5\x80 x\n",
      // a line far longer than the pieces, then a record
      header + std::string(300, ' ') + "192.0.2.9 9 9 " + std::string(300, 'x') +
          "\n10.0.0.1 1 1 x\n",
      // the table ends; what follows is not read
      header + "192.0.2.10 1 1 x\nDestinations Count % x\n192.0.2.11 1 1 x\n",
      // no header at all, and an empty text
      "192.0.2.12 1 1 x\n",
      "",
  };
  ScratchDir dir;
  int index = 0;
  for (const std::string& text : texts) {
    const std::string path = dir.write("report" + std::to_string(index++) + ".txt", text).string();
    const std::vector<SourceRecord> whole = parse_report(text);
    for (std::size_t chunk : {1, 2, 3, 4, 5, 7, 8, 13, 64, 4096})
      EXPECT_EQ(from_file(path, chunk), whole) << "text " << index - 1 << ", pieces of " << chunk;
  }
}

// Random reports of data lines (most of them records) with every kind of
// white space, boundary and invalid byte, read in random piece sizes.
TEST(ReportFromFile, RandomTextsAgreeWithTheWholeText) {
  const std::vector<std::string> fields[] = {
      {"192.0.2.1", "2001:db8::7", "::ffff:192.0.2.9", "10.0.0.300", "gateway"},
      {"5", "007", "-3", "4.0"},
      {"61.3", "1e3", "inf", "16.1%"},
      {"x", "77.4"},
  };
  const std::vector<std::string> spaces = {" ", "\t", "   ", "\u00a0", "\u3000", "\u2003 "};
  const std::vector<std::string> ends = {"\n", "\r\n", "\r", "\u2028", "\u0085", "\f"};
  const std::vector<std::string> noise = {"\xff", "\x80", "\xe2\x80", "\xc3"};
  const std::vector<std::string> other_lines = {"Destinations Count %", "Sources Count %",
                                                "------ -----", "", "  "};
  std::mt19937 random(2024);
  const auto pick = [&](const std::vector<std::string>& from) {
    return from[random() % from.size()];
  };
  ScratchDir dir;
  std::size_t records = 0;
  for (int round = 0; round < 200; ++round) {
    std::string text = "Sources Count %\n";
    const int lines = static_cast<int>(random() % 40);
    for (int i = 0; i < lines; ++i) {
      std::string line;
      if (random() % 10 == 0) {
        line = pick(other_lines);
      } else {
        for (const auto& field : fields)
          line += pick(spaces) + pick(field);
        if (random() % 4 == 0) line.insert(random() % line.size(), pick(noise));
      }
      text += line + pick(ends);
    }
    const std::string path = dir.write("random.txt", text).string();
    const std::size_t chunk = 1 + random() % 24;
    const std::vector<SourceRecord> whole = parse_report(text);
    records += whole.size();
    ASSERT_EQ(from_file(path, chunk), whole) << "round " << round << ", pieces of " << chunk;
  }
  EXPECT_GT(records, 500u);  // the texts did hold records to compare
}

// A pipe whose writer holds it open after the end of the table: the reader
// must return without waiting for the rest.
TEST(ReportFromFile, StopsReadingWhereTheTableEnds) {
  ScratchDir dir;
  const auto fifo = dir.path() / "report.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::atomic<bool> returned{false};
  std::atomic<bool> returned_before_close{false};
  std::thread writer([&] {
    const Fd fd(::open(fifo.c_str(), O_WRONLY | O_CLOEXEC));
    const std::string text = "Sources Count %\n192.0.2.1 1 1 x\nDestinations\n";
    if (!fd || ::write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()))
      return;
    // Holds the pipe open for up to five seconds, so a reader that waits for
    // its end fails the test instead of hanging it.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!returned && std::chrono::steady_clock::now() < give_up)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    returned_before_close = returned.load();
  });
  const std::vector<SourceRecord> records = from_file(fifo.string(), 4);
  returned = true;
  writer.join();
  EXPECT_TRUE(returned_before_close);
  EXPECT_EQ(records, (std::vector<SourceRecord>{{"192.0.2.1", 1, 1.0}}));
}

}  // namespace
}  // namespace quillet
