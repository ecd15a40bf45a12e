#include "report.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <filesystem>
#include <limits>
#include <ostream>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "failure_of.h"
#include "os.h"
#include "query_tables.h"
#include "scratch.h"

namespace quillet {

// Failure messages show records as text.
void PrintTo(const SourceRecord& r, std::ostream* out) {
  *out << r.source << ' ' << r.contagem << ' ' << r.percentual;
}

namespace {

using testing::failure_of;
using testing::ScratchDir;

constexpr std::string_view kHeader = "Sources          Count      %   cum%\n";

std::vector<SourceRecord> records_of(std::string_view bytes) {
  std::vector<SourceRecord> records;
  parse_report(bytes, [&](const RecordView& r) {
    records.push_back({std::string(r.source), r.contagem, r.percentual});
  });
  return records;
}

std::vector<SourceRecord> records_from_file(const std::string& path,
                                            std::size_t chunk_size = kReportChunkSize) {
  std::vector<SourceRecord> records;
  analisarRelatorio(
      path,
      [&](const RecordView& r) {
        records.push_back({std::string(r.source), r.contagem, r.percentual});
      },
      chunk_size);
  return records;
}

// "source count percent" per record, joined by " | "; the percentage in its
// shortest exact form, so that NaN, infinities and -0 compare as text too.
std::string render(const std::vector<SourceRecord>& records) {
  std::string text;
  for (const auto& r : records) {
    std::array<char, 32> percent{};
    const auto end =
        std::to_chars(percent.data(), percent.data() + percent.size(), r.percentual).ptr;
    if (!text.empty()) text += " | ";
    text += r.source + " " + std::to_string(r.contagem) + " " + std::string(percent.data(), end);
  }
  return text;
}

std::string parse_in_table(const std::string& line) {
  return render(records_of(std::string(kHeader) + line + "\n"));
}

struct LineCase {
  std::string line;
  std::string expected;  // empty: the line is skipped
};

void expect_lines(const std::vector<LineCase>& cases) {
  for (const auto& c : cases)
    EXPECT_EQ(parse_in_table(c.line), c.expected) << "line: " << c.line;
}

TEST(ReportLines, TableShapes) {
  expect_lines({
      {"192.0.2.10           152   61.3   61.3", "192.0.2.10 152 61.3"},
      {"2001:db8::1 40 16.1 77.4", "2001:db8::1 40 16.1"},
      {"192.0.2.11 40 16.1% 77.4", ""},
      {"192.0.2.12 40 16.1", ""},
      {"192.0.2.13 40 16.1 77.4 x", ""},
      {"gateway 40 16.1 77.4", ""},
      {"192.0.2.300 40 16.1 77.4", ""},
      {"192.0.2.14 4.0 16.1 77.4", ""},
      {"------------ --------- ------ ------", ""},
      {"   ------", ""},
      {"", ""},
      {"  \t  ", ""},
      {"\t 192.0.2.1\t\t5  1.5\tx \t", "192.0.2.1 5 1.5"},
      {"192.0.2.1 5 1 any-text-at-all", "192.0.2.1 5 1"},
  });
}

TEST(ReportLines, Counts) {
  expect_lines({
      {"192.0.2.1 007 1 x", "192.0.2.1 7 1"},
      {"192.0.2.1 +7 1 x", "192.0.2.1 7 1"},
      {"192.0.2.1 -7 1 x", "192.0.2.1 -7 1"},
      {"192.0.2.1 -0 1 x", "192.0.2.1 0 1"},
      {"192.0.2.1 9223372036854775807 1 x", "192.0.2.1 9223372036854775807 1"},
      {"192.0.2.1 -9223372036854775808 1 x", "192.0.2.1 -9223372036854775808 1"},
      {"192.0.2.1 9223372036854775808 1 x", ""},
      {"192.0.2.1 -9223372036854775809 1 x", ""},
      {"192.0.2.1 99999999999999999999999 1 x", ""},
      {"192.0.2.1 " + std::string(1000, '0') + "7 1 x", "192.0.2.1 7 1"},
      {"192.0.2.1 + 1 x", ""},
      {"192.0.2.1 +-7 1 x", ""},
      {"192.0.2.1 --7 1 x", ""},
      {"192.0.2.1 7- 1 x", ""},
      {"192.0.2.1 1_0 1 x", ""},
      {"192.0.2.1 1e3 1 x", ""},
      {"192.0.2.1 0x10 1 x", ""},
      {"192.0.2.1 \u0663 1 x", ""},  // ARABIC-INDIC DIGIT THREE
  });
}

TEST(ReportLines, Percentages) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"61.3", "61.3"},
      {"0061.30", "61.3"},
      {".5", "0.5"},
      {"5.", "5"},
      {"1E-3", "0.001"},
      {"+1.5e+2", "150"},
      {"-2", "-2"},
      {"inf", "inf"},
      {"INF", "inf"},
      {"-Infinity", "-inf"},
      {"+infinity", "inf"},
      {"NaN", "nan"},
      {"-nan", "-nan"},
      {"1e400", "inf"},
      {"-1e400", "-inf"},
      {"1e-400", "0"},
      {"-1e-400", "-0"},
      {"4.9e-324", "5e-324"},
      {"1e99999999999999999999", "inf"},
      {"61.3%", ""},
      {"0x1p3", ""},
      {"nan(1)", ""},
      {"1_0", ""},
      {".", ""},
      {"e5", ""},
      {"1e", ""},
      {"1e+", ""},
      {"infin", ""},
      {"infinityy", ""},
      {"+-1", ""},
      {"1.2.3", ""},
      {"..5", ""},
      {"5..", ""},
      {"1,5", ""},
      {"\u0661", ""},
  };
  for (const auto& [field, value] : cases) {
    const std::string expected = value.empty() ? "" : "192.0.2.1 5 " + value;
    EXPECT_EQ(parse_in_table("192.0.2.1 5 " + field + " x"), expected) << "field: " << field;
  }
}

// The space-separated words of `list`.
std::vector<std::string> words(std::string_view list) {
  std::vector<std::string> result;
  for (std::size_t i = 0; i < list.size();) {
    const std::size_t end = std::min(list.find(' ', i), list.size());
    if (end > i) result.emplace_back(list.substr(i, end - i));
    i = end + 1;
  }
  return result;
}

TEST(ReportLines, Addresses) {
  const auto accepted = words(
      "0.0.0.0 255.255.255.255 192.0.2.1 :: ::1 1:: ::ffff:192.0.2.1 1:2:3:4:5:6:7:8 "
      "1:2:3:4:5:6:7:: ::2:3:4:5:6:7:8 2001:DB8:0:0::0001 1:2:3:4:5:6:192.0.2.1 1::192.0.2.1 "
      "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255");
  for (const auto& address : accepted) {
    // Kept exactly as written, never normalised.
    EXPECT_EQ(parse_in_table(address + " 5 1 x"), address + " 5 1") << address;
  }
  auto rejected = words(
      "192.0.2.300 192.0.2 192.0.2.1.5 192.0.2.1. .192.0.2 192..2.1 01.2.3.4 1.2.3.04 "
      "192.0.2.1000 192.0.2x1 192.0.2.-1 192.0.2.+1 192.0.2.a 1:2:3:4:5:6:7:8:9 1:2:3:4:5:6:7 "
      "1::2::3 1:::2 :1:: fe80::1%eth0 12345::1 g::1 ::ffff:1.2.3 ::ffff:01.2.3.4 "
      "1:2:3:4:5:6:7:1.2.3.4 ::1.2.3.4:5 1:2:3:4:5:6::1.2.3.4 [::1] ::1/128 192.0.2.1:53 : "
      "localhost 192.0.2.\u0661");
  rejected.emplace_back("::1\0x", 5);
  for (const auto& address : rejected) {
    EXPECT_EQ(parse_in_table(address + " 5 1 x"), "") << address;
  }
}

TEST(ReportLines, WhiteSpaceIsTheUnicodeSet) {
  const std::vector<std::string> spaces = {
      " ",      "\t",     "\x1f",   "\u00a0", "\u1680", "\u2000", "\u2001",
      "\u2002", "\u2003", "\u2004", "\u2005", "\u2006", "\u2007", "\u2008",
      "\u2009", "\u200a", "\u202f", "\u205f", "\u3000",
  };
  for (const auto& s : spaces) {
    EXPECT_EQ(parse_in_table(s + "192.0.2.1" + s + "5" + s + s + "1" + s + "x" + s),
              "192.0.2.1 5 1")
        << "white space of " << s.size() << " bytes";
  }
  // Look-alikes that are not white space: zero-width space, byte order mark.
  for (const std::string s : {"\u200b", "\ufeff", "\u180e"}) {
    EXPECT_EQ(parse_in_table("192.0.2.1" + s + "5 1 x y"), "");
  }
  EXPECT_EQ(parse_in_table("\ufeff192.0.2.1 5 1 x"), "");
}

TEST(ReportLines, InvalidUtf8IsDropped) {
  expect_lines({
      {"192.0.2\xff.1 5 1 x", "192.0.2.1 5 1"},
      {"192.0.2\x9f.1 5 1 x", "192.0.2.1 5 1"},
      {"192\x80.0.2.1 5 1 x\xfe", "192.0.2.1 5 1"},
      {"192.0\xc0\x80.2.1 5 1 x", "192.0.2.1 5 1"},          // overlong NUL
      {"192.0\xc1\xbf.2.1 5 1 x", "192.0.2.1 5 1"},          // overlong
      {"192.0\xe0\x80\xaf.2.1 5 1 x", "192.0.2.1 5 1"},      // overlong, 3 bytes
      {"192.0\xf0\x80\x80\xaf.2.1 5 1 x", "192.0.2.1 5 1"},  // overlong, 4 bytes
      {"192.0\xed\xa0\x80.2.1 5 1 x", "192.0.2.1 5 1"},      // surrogate
      {"192.0\xf4\x90\x80\x80.2.1 5 1 x", "192.0.2.1 5 1"},  // above U+10FFFF
      {"192.0\xf5\x80\x80\x80.2.1 5 1 x", "192.0.2.1 5 1"},
      // A broken sequence never takes the ASCII byte that breaks it along.
      {"192.0.2\xe2\x82.1 5 1 x", "192.0.2.1 5 1"},
      {"192.0.2.1\xf0\x9f\x98 5 1 x", "192.0.2.1 5 1"},
      {"192.0.2.1 5 1 x\xe2\x82", "192.0.2.1 5 1"},
      // Well-formed characters stay.
      {"192.0.2.1\u00e9 5 1 x", ""},
      {"192.0.2.1 5 1 \u00e9t\u00e9", "192.0.2.1 5 1"},
      {"\xff-----", ""},
  });
}

struct ReportCase {
  std::string name;
  std::string report;
  std::string expected;
};

TEST(ReportStructure, HeaderAndEndOfTable) {
  const std::vector<ReportCase> cases = {
      {"empty text", "", ""},
      {"only dropped bytes", "\xff\xfe\xc0", ""},
      {"no header", "192.0.2.1 5 1 x\n", ""},
      {"data before the header", "192.0.2.1 5 1 x\nSources Count %\n192.0.2.2 6 2 x\n",
       "192.0.2.2 6 2"},
      {"Destinations before the header",
       "Destinations Count %\n192.0.2.1 5 1 x\nSources Count %\n192.0.2.2 6 2 x\n",
       "192.0.2.2 6 2"},
      {"Destinations ends the table",
       "Sources Count %\n192.0.2.1 5 1 x\nDestinations Count %\n192.0.2.2 6 2 x\n",
       "192.0.2.1 5 1"},
      {"Destinations anywhere in a line",
       "Sources Count %\n192.0.2.1 5 1 x\n192.0.2.2 6 2 Destinations\n192.0.2.3 7 3 x\n",
       "192.0.2.1 5 1"},
      {"Destinations in a decoded line's fourth field",
       "Sources Count %\n192.0.2.1 5 1 x\n192.0.2.2\u00a06 2 Destinations\n192.0.2.3 7 3 x\n",
       "192.0.2.1 5 1"},
      {"header words in a data line's fourth field",
       "Sources Count %\n192.0.2.1 5 1 x\n192.0.2.2 6 2 %Count,Sources\n192.0.2.3 7 3 x\n",
       "192.0.2.1 5 1 | 192.0.2.3 7 3"},
      {"second header", "Sources Count %\n192.0.2.1 5 1 x\nSources Count %\n192.0.2.2 6 2 x",
       "192.0.2.1 5 1 | 192.0.2.2 6 2"},
      {"header starting with a hyphen", "--Sources Count %\n192.0.2.1 5 1 x\n", "192.0.2.1 5 1"},
      {"header holding Destinations", "Sources Count % Destinations\n192.0.2.1 5 1 x\n",
       "192.0.2.1 5 1"},
      {"header words in any order", "%Count,Sources\n192.0.2.1 5 1 x\n", "192.0.2.1 5 1"},
      {"header words are case-sensitive", "sources count %\n192.0.2.1 5 1 x\n", ""},
      {"header needs the percent sign", "Sources Count\n192.0.2.1 5 1 x\n", ""},
      {"header cut by an invalid byte", "Sou\xffrces Count %\n192.0.2.1 5 1 x\n", "192.0.2.1 5 1"},
      {"Destinations cut by an invalid byte",
       "Sources Count %\n192.0.2.1 5 1 x\nDesti\xc3nations\n192.0.2.2 6 2 x\n", "192.0.2.1 5 1"},
      {"duplicates kept in order",
       "Sources Count %\n192.0.2.1 5 1 x\n192.0.2.2 6 2 x\n192.0.2.1 7 3 x\n",
       "192.0.2.1 5 1 | 192.0.2.2 6 2 | 192.0.2.1 7 3"},
      {"decoded lines one after the other",
       "Sources Count %\n192.0.2\xff.1 5 1 x\n192.0.2.2\xfe 6 2 x\n",
       "192.0.2.1 5 1 | 192.0.2.2 6 2"},
      {"0x1F does not end a line", "Sources Count %\n192.0.2.1 5 1 x\x1f 192.0.2.2 6 2 x\n", ""},
      {"U+0084 does not end a line", "Sources Count %\n192.0.2.1 5 1 x\u0084192.0.2.2 6 2 x\n", ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(render(records_of(c.report)), c.expected) << c.name;
}

TEST(ReportStructure, EachBoundaryEndsALine) {
  const std::vector<std::string> boundaries = {
      "\n",           "\r\n", "\r",   "\r\xff\n", "\r\xe2\x82\n", "\xc2\n", "\v",
      "\f",           "\x1c", "\x1d", "\x1e",     "\u0085",       "\u2028", "\u2029",
      "\xe2\xc2\x85",  // a dropped byte, then U+0085
      "\n\n\r\n",
  };
  for (const auto& b : boundaries) {
    const std::string report = "Sources Count %" + b + "192.0.2.1 5 1 x" + b + "192.0.2.2 6 2 x";
    EXPECT_EQ(render(records_of(report)), "192.0.2.1 5 1 | 192.0.2.2 6 2")
        << "boundary of " << b.size() << " bytes";
    EXPECT_EQ(render(records_of(report + b)), "192.0.2.1 5 1 | 192.0.2.2 6 2");
  }
}

TEST(ReportStructure, AsciiRecordsViewTheInputWithoutCopy) {
  const std::string report = std::string(kHeader) + "192.0.2.1 5 1 x\n";
  std::vector<const char*> seen;
  parse_report(report, [&](const RecordView& r) { seen.push_back(r.source.data()); });
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], report.data() + kHeader.size());
}

TEST(AnalisarRelatorio, ReadsARealDnstopReport) {
  // Captured from dig queries in a network namespace; the tables after
  // "Destinations" hold address-like rows that must not be read.
  EXPECT_EQ(render(records_from_file(QUILLET_SAMPLE_REPORT)),
            "192.0.2.10 5 62.5 | 192.0.2.11 2 25 | 2001:db8::10 1 12.5");
}

TEST(AnalisarRelatorio, ReadsAFileThatAnnouncesNoSize) {
  ScratchDir dir;
  const auto fifo = dir.path() / "report.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  constexpr int kRows = 5000;  // more than a pipe holds: the text comes in several short reads
  std::thread writer([&] {
    // A reader that stops early must fail the test, not kill it with SIGPIPE.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
    std::string text(kHeader);
    for (int i = 0; i < kRows; ++i)
      text += "192.0.2." + std::to_string(i % 256) + " 1 1 x\n";
    const Fd fd(::open(fifo.c_str(), O_WRONLY | O_CLOEXEC));
    for (std::size_t done = 0; fd && done < text.size();) {
      const ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
  });
  const auto records = records_from_file(fifo);
  writer.join();
  ASSERT_EQ(records.size(), static_cast<std::size_t>(kRows));
  EXPECT_EQ(records.back(), (SourceRecord{"192.0.2.135", 1, 1.0}));
}

// The failure of reading the report at `path`.
std::string unreadable(const std::string& path) {
  return failure_of<Failure>([&] { records_from_file(path); });
}

// As unreadable, for a caller without rights to the file. Root reads any file
// whatever its mode, so as root the call runs in a child that became nobody.
std::string failure_without_rights(const std::string& path) {
  if (::geteuid() != 0) return unreadable(path);
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return "pipe failed";
  Fd read_end(ends[0]), write_end(ends[1]);
  const pid_t pid = ::fork();
  if (pid == 0) {
    constexpr uid_t kNobody = 65534;
    std::string text = "could not drop root";
    if (::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0) {
      text = unreadable(path);
    }
    const ssize_t written = ::write(write_end.get(), text.data(), text.size());
    ::_exit(written == static_cast<ssize_t>(text.size()) ? 0 : 1);
  }
  write_end.reset();
  std::string text;
  std::array<char, 512> buffer{};
  for (ssize_t n; (n = ::read(read_end.get(), buffer.data(), buffer.size())) > 0;) {
    text.append(buffer.data(), static_cast<std::size_t>(n));
  }
  if (pid < 0 || !wait_for_child(pid).success()) return "child failed: " + text;
  return text;
}

TEST(AnalisarRelatorio, UnreadableReportsFailWithTheirReason) {
  ScratchDir dir;
  const std::string prefix =
      "erro de leitura / análise do relatório / "
      "não foi possível ler o relatório ";
  const std::string missing = (dir.path() / "missing.txt").string();
  EXPECT_EQ(unreadable(missing), prefix + missing + ": No such file or directory");
  EXPECT_EQ(unreadable(dir.path().string()), prefix + dir.path().string() + ": Is a directory");

  const std::string locked = dir.write("locked.txt", std::string(kHeader)).string();
  std::filesystem::permissions(dir.path(), std::filesystem::perms::all);  // others may enter
  std::filesystem::permissions(locked, std::filesystem::perms::none);
  EXPECT_EQ(failure_without_rights(locked), prefix + locked + ": Permission denied");
}

std::vector<SourceRecord> records_with_counts(std::initializer_list<std::int64_t> counts) {
  std::vector<SourceRecord> records;
  for (std::int64_t count : counts) {
    records.push_back({"10.0.0." + std::to_string(records.size() + 1), count, 1.0});
  }
  return records;
}

std::string sources(const std::vector<SourceRecord>& records) {
  std::string text;
  for (const auto& r : records)
    text += r.source.substr(7) + " ";
  return text;
}

std::vector<SourceRecord> select_top(const std::vector<SourceRecord>& records, std::size_t limit) {
  TopSelection top(limit);
  for (const auto& r : records)
    top.add({r.source, r.contagem, r.percentual});
  return top.take();
}

// The ranking as its definition gives it: a stable sort by count, greatest
// first, cut at `limit`.
std::vector<SourceRecord> stable_ranking(std::vector<SourceRecord> records, std::size_t limit) {
  std::stable_sort(
      records.begin(), records.end(),
      [](const SourceRecord& a, const SourceRecord& b) { return a.contagem > b.contagem; });
  records.resize(std::min(records.size(), limit));
  return records;
}

TEST(Ranking, GreatestCountFirstEqualCountsInReportOrder) {
  struct Row {
    std::vector<SourceRecord> records;
    std::size_t limit;
    std::string ranked;
  };
  const Row rows[] = {
      {records_with_counts({5, 9, 9, 3}), 20, "2 3 1 4 "},
      {records_with_counts({1, 1, 1}), 2, "1 2 "},
      {records_with_counts({1, 2, 2, 3, 2}), 3, "4 2 3 "},
      {records_with_counts({-5, 0, INT64_MIN, INT64_MAX}), 20, "4 2 1 3 "},
      {records_with_counts({}), 20, ""},
      {records_with_counts({4, 4}), 0, ""},
  };
  for (const auto& row : rows)
    EXPECT_EQ(sources(select_top(row.records, row.limit)), row.ranked);
}

// The bounded selection must give exactly what a full stable sort gives.
TEST(Ranking, SelectionAgreesWithTheStableSort) {
  std::mt19937 random(8);
  for (int round = 0; round < 300; ++round) {
    std::vector<SourceRecord> records;
    const int n = static_cast<int>(random() % 80);
    const int spread = 1 + static_cast<int>(random() % 30);
    for (int i = 0; i < n; ++i) {
      // Appended rather than "a" + std::to_string(i): g++ 12 at -O3 takes the
      // insert inside that operator+ for an overlapping memcpy (-Wrestrict).
      std::string source = "a";
      source += std::to_string(i);
      records.push_back({std::move(source), static_cast<std::int64_t>(random() % spread),
                         static_cast<double>(i)});
    }
    ASSERT_EQ(select_top(records, kTopLimit), stable_ranking(records, kTopLimit)) << round;
  }
}

TEST(DiscoveryDocument, ExactTextForm) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Row {
    std::vector<SourceRecord> records;
    std::string document;
  };
  const Row rows[] = {
      {{}, R"({"data": []})"},
      {{{"192.0.2.10", 152, 61.3}, {"2001:db8::1", 40, 16.1}},
       R"({"data": [{"{#SOURCE}": "192.0.2.10", "{#CONTAGEM}": 152, "{#PERCENTUAL}": 61.3}, )"
       R"({"{#SOURCE}": "2001:db8::1", "{#CONTAGEM}": 40, "{#PERCENTUAL}": 16.1}]})"},
      {{{"::1", -3, 100.0}, {"::2", 0, 0.00001}, {"::3", 1, -inf}},
       R"({"data": [{"{#SOURCE}": "::1", "{#CONTAGEM}": -3, "{#PERCENTUAL}": 100.0}, )"
       R"({"{#SOURCE}": "::2", "{#CONTAGEM}": 0, "{#PERCENTUAL}": 1e-05}, )"
       R"({"{#SOURCE}": "::3", "{#CONTAGEM}": 1, "{#PERCENTUAL}": -Infinity}]})"},
  };
  for (const auto& row : rows)
    EXPECT_EQ(discovery_document(row.records), row.document);
}

TEST(DebugLine, RecordInListingForm) {
  EXPECT_EQ(debug_line({"192.0.2.10", 152, 61.3}),
            "{'{#SOURCE}': '192.0.2.10', '{#CONTAGEM}': 152, '{#PERCENTUAL}': 61.3}");
  EXPECT_EQ(debug_line({"::ffff:1.2.3.4", 0, std::numeric_limits<double>::quiet_NaN()}),
            "{'{#SOURCE}': '::ffff:1.2.3.4', '{#CONTAGEM}': 0, '{#PERCENTUAL}': nan}");
  EXPECT_EQ(debug_line({"::1", 7, -std::numeric_limits<double>::infinity()}),
            "{'{#SOURCE}': '::1', '{#CONTAGEM}': 7, '{#PERCENTUAL}': -inf}");
}

TEST(RankingTable, AlignedBusiestFirstAndFitForDisplay) {
  EXPECT_EQ(ranking_table({{"192.0.2.10", 152, 61.3},
                           {"2001:db8:ffff:1:2:3:4:5", 40, 16.1},
                           {"192.0.2.11", 40, 16.05},
                           {"::1\x1b[1m\xff", 7, std::numeric_limits<double>::quiet_NaN()}}),
            "#  client                   queries   share\n"
            "1  192.0.2.10                   152  61.3 %\n"
            "2  2001:db8:ffff:1:2:3:4:5       40  16.1 %\n"
            "2  192.0.2.11                    40  16.1 %\n"
            "4  ::1?[1m?                       7   nan %");
  EXPECT_EQ(ranking_table({}),
            "#  client  queries  share\n(no DNS query from any client in the capture)");
}

TEST(QueryTables, NamesTypesAndAnswersOfTheRankedClients) {
  const std::string longest(1020, 'x');  // a name of 255 bytes, each escaped
  QueryTables t{1000,
                3,
                {{1, 600}, {28, 300}, {65000, 100}},
                {{"victim.example", 900}, {longest, 1}},
                {90, 0, 5, 4, 0, 1},
                {{"192.0.2.10", {9, 0, 0, 1}, {{"victim.example", 8}, {"a.b", 2}}}}};
  for (int type = 2; type < 10; ++type)
    t.types.emplace_back(type, 1);
  const std::string shown = longest.substr(0, 252) + "...";
  EXPECT_EQ(names_table(t), "#  name" + std::string(shown.size() - 4, ' ') +
                                "  queries   share\n1  victim.example" +
                                std::string(shown.size() - 14, ' ') + "      900  90.0 %\n2  " +
                                shown +
                                "        1   0.1 %\n(3 queries for names past the "
                                "reader's bounds are in no row)");
  const std::vector<SourceRecord> ranked = {{"192.0.2.10", 10, 50.0}, {"2001:db8::1", 10, 50.0}};
  EXPECT_EQ(client_names_table(ranked, t),
            "#  client       queries  names asked most (queries)\n"
            "1  192.0.2.10        10  victim.example 8, a.b 2\n"
            "1  2001:db8::1       10  -");
  // The ten types asked most, then the rest.
  EXPECT_TRUE(
      types_table(t).starts_with("type       queries   share\nA              600  60.0 %\n"));
  EXPECT_TRUE(types_table(t).ends_with("\nTYPE8            1   0.1 %\nother            1   0.1 %"))
      << types_table(t);
  EXPECT_EQ(rcode_shares(t.rcodes), (std::array<double, 5>{90.0, 4.0, 5.0, 1.0, 0.0}));
  EXPECT_EQ(client_rcodes_table(ranked, t),
            "#  client       answers  NOERROR  NXDOMAIN  SERVFAIL  REFUSED  other\n"
            "1  192.0.2.10        10   90.0 %    10.0 %     0.0 %    0.0 %  0.0 %\n"
            "1  2001:db8::1        -        -         -         -        -      -");
  EXPECT_EQ(
      names_table({}),
      "#  name  queries  share\n(no DNS query with a question from any client in the capture)");
  EXPECT_EQ(type_name(255), "ANY");
}

// The report read from its file a piece at a time must give exactly what the
// whole text gives, wherever the pieces are cut, and must stop reading where
// the table ends.

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
    const std::vector<SourceRecord> whole = records_of(text);
    for (std::size_t chunk : {1, 2, 3, 4, 5, 7, 8, 13, 64, 4096})
      EXPECT_EQ(records_from_file(path, chunk), whole)
          << "text " << index - 1 << ", pieces of " << chunk;
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
    const std::vector<SourceRecord> whole = records_of(text);
    records += whole.size();
    ASSERT_EQ(records_from_file(path, chunk), whole)
        << "round " << round << ", pieces of " << chunk;
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
  const std::vector<SourceRecord> records = records_from_file(fifo.string(), 4);
  returned = true;
  writer.join();
  EXPECT_TRUE(returned_before_close);
  EXPECT_EQ(records, (std::vector<SourceRecord>{{"192.0.2.1", 1, 1.0}}));
}

}  // namespace
}  // namespace quillet
