#include "report.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <charconv>
#include <filesystem>
#include <limits>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "config.h"
#include "os.h"
#include "scratch.h"
#include "test_context.h"
#include "trapper.h"

namespace quillet {
namespace {

using testing::ScratchDir;

constexpr std::string_view kHeader = "Sources          Count      %   cum%\n";

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
  return render(parse_report(std::string(kHeader) + line + "\n"));
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
    EXPECT_EQ(render(parse_report(c.report)), c.expected) << c.name;
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
    EXPECT_EQ(render(parse_report(report)), "192.0.2.1 5 1 | 192.0.2.2 6 2")
        << "boundary of " << b.size() << " bytes";
    EXPECT_EQ(render(parse_report(report + b)), "192.0.2.1 5 1 | 192.0.2.2 6 2");
  }
}

TEST(ReportStructure, AsciiRecordsViewTheInputWithoutCopy) {
  const std::string report = std::string(kHeader) + "192.0.2.1 5 1 x\n";
  std::vector<const char*> seen;
  parse_report(report, [&](const RecordView& r) { seen.push_back(r.source.data()); });
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], report.data() + kHeader.size());
}

std::filesystem::path sample_path() {
  return std::filesystem::path(__FILE__).parent_path() / "data" / "dnstop_sample.txt";
}

TEST(AnalisarRelatorio, ReadsARealDnstopReport) {
  // Captured from dig queries in a network namespace; the tables after
  // "Destinations" hold address-like rows that must not be read.
  EXPECT_EQ(render(analisarRelatorio(sample_path())),
            "192.0.2.10 5 62.5 | 192.0.2.11 2 25 | 2001:db8::10 1 12.5");
}

TEST(AnalisarRelatorio, ReadsAFileThatAnnouncesNoSize) {
  ScratchDir dir;
  const auto fifo = dir.path() / "report.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  constexpr int kRows = 5000;  // far beyond a first buffer sized from st_size
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
  const auto records = analisarRelatorio(fifo);
  writer.join();
  ASSERT_EQ(records.size(), static_cast<std::size_t>(kRows));
  EXPECT_EQ(records.back(), (SourceRecord{"192.0.2.135", 1, 1.0}));
}

// The failure of analisarRelatorio(path) as "kind / step / message".
std::string failure_of(const std::string& path) {
  try {
    analisarRelatorio(path);
  } catch (const Failure& f) {
    return f.kind() + " / " + f.step() + " / " + f.what();
  }
  return "no failure";
}

// As failure_of, for a caller without rights to the file. Root reads any file
// whatever its mode, so as root the call runs in a child that became nobody.
std::string failure_without_rights(const std::string& path) {
  if (::geteuid() != 0) return failure_of(path);
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return "pipe failed";
  Fd read_end(ends[0]), write_end(ends[1]);
  const pid_t pid = ::fork();
  if (pid == 0) {
    constexpr uid_t kNobody = 65534;
    std::string text = "could not drop root";
    if (::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0) {
      text = failure_of(path);
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
  EXPECT_EQ(failure_of(missing), prefix + missing + ": No such file or directory");
  EXPECT_EQ(failure_of(dir.path().string()), prefix + dir.path().string() + ": Is a directory");

  const std::string locked = dir.write("locked.txt", std::string(kHeader)).string();
  std::filesystem::permissions(dir.path(), std::filesystem::perms::all);  // others may enter
  std::filesystem::permissions(locked, std::filesystem::perms::none);
  EXPECT_EQ(failure_without_rights(locked), prefix + locked + ": Permission denied");
}

}  // namespace
}  // namespace quillet

namespace quillet {
namespace {

using testing::ScratchDir;
using testing::TestContext;
using testing::Trapper;
using testing::TrapperBehaviour;
using testing::TrapperOptions;

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
  for (const auto& row : rows) {
    EXPECT_EQ(sources(rank_top(row.records, row.limit)), row.ranked);
    EXPECT_EQ(sources(select_top(row.records, row.limit)), row.ranked);
  }
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
    ASSERT_EQ(select_top(records, TOP_LIMIT), rank_top(records, TOP_LIMIT)) << round;
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

// A collection run in a scratch directory: the fake runner plays tcpdump and
// dnstop by writing the working files; a trapper takes the deliveries.
class Collection : public ::testing::Test {
 protected:
  void SetUp() override {
    t.ctx.capture.work_dir = dir.path().string() + "/";
    t.ctx.capture.caminho_tcpdump = dir.path() / "dump.pcap";
    t.ctx.capture.caminho_arquivo = dir.path() / "dnstop_output.txt";
    t.ctx.settings = {"coletarDns", "/ignored", "127.0.0.1", "dns-lab"};
    t.runner.on_run = [this](const std::string& command_line) {
      if (command_line.starts_with("timeout ")) dir.write("dump.pcap", "pcap");
      if (command_line.starts_with("dnstop ")) dir.write("dnstop_output.txt", report);
      return ExitStatus{};
    };
  }

  // Runs the collection and returns the status it ended the run with.
  int collect(int port) {
    t.ctx.delivery = {.port = port,
                      .attempts = 5,
                      .pause = std::chrono::milliseconds(5000),
                      .connect_timeout = std::chrono::milliseconds(1000),
                      .reply_timeout = std::chrono::milliseconds(1000),
                      .tls = {}};
    try {
      coletarDns("/ignored", t.ctx);
    } catch (const RunEnd& end) {
      return end.status;
    }
    ADD_FAILURE() << "the collection returned instead of ending the run";
    return -1;
  }

  ScratchDir dir;
  TestContext t;
  std::string report = "Sources Count % cum%\n192.0.2.10 152 61.3 61.3\n2001:db8::1 40 16.1 77.4\n";
  const std::string debug_line_text =
      "[DEBUG] Executando: timeout 5 tcpdump --immediate-mode -s 512 -i ens18 -w " + dir.path().string() +
      "/dump.pcap port 53\n";
};

TEST_F(Collection, DeliversTheDocumentThenCountAndPercentagePerAddress) {
  Trapper trapper;
  EXPECT_EQ(collect(trapper.port()), 0);
  EXPECT_EQ(t.out.str(), debug_line_text + "OK!\n");
  std::vector<std::string> sent;
  for (const auto& request : trapper.requests()) {
    ASSERT_EQ(request.data.size(), 1u);
    EXPECT_EQ(request.data[0].host, "dns-lab");
    sent.push_back(request.data[0].key + "=" + request.data[0].value);
  }
  EXPECT_EQ(sent, (std::vector<std::string>{
                      "descobertaDns=" + discovery_document({{"192.0.2.10", 152, 61.3},
                                                             {"2001:db8::1", 40, 16.1}}),
                      "contDns[192.0.2.10]=152", "percentDns[192.0.2.10]=61.3",
                      "contDns[2001:db8::1]=40", "percentDns[2001:db8::1]=16.1"}));
  EXPECT_TRUE(t.pauses.empty());
}

TEST_F(Collection, DebugListingSendsNothing) {
  t.ctx.settings.zabbix_host = "debug";
  EXPECT_EQ(collect(testing::closed_loopback_port()), 0);
  EXPECT_EQ(t.out.str(), debug_line_text +
                             "Modo DEBUG ativado:\n\x1b[0;32m\nVersão do script: " + std::string(VERSION) +
                             "\x1b[0;0m\n"
                             "{'{#SOURCE}': '192.0.2.10', '{#CONTAGEM}': 152, '{#PERCENTUAL}': "
                             "61.3}\n{'{#SOURCE}': '2001:db8::1', '{#CONTAGEM}': 40, "
                             "'{#PERCENTUAL}': 16.1}\n");
}

TEST_F(Collection, GivenUpDeliveriesAreCountedInTheLastLine) {
  // The first value fails five times, then every other one gets through.
  Trapper trapper(TrapperOptions::answering({TrapperBehaviour::failed, TrapperBehaviour::failed,
                                             TrapperBehaviour::failed, TrapperBehaviour::failed,
                                             TrapperBehaviour::failed, TrapperBehaviour::success}));
  EXPECT_EQ(collect(trapper.port()), 1);
  EXPECT_EQ(trapper.connections(), 9);
  EXPECT_EQ(t.pauses.size(), 5u);
  std::string out = t.out.str();
  EXPECT_TRUE(out.ends_with("\x1b[0;0m\n[ERRO] 1 de 5 envios ao Zabbix falharam.\n")) << out;
  EXPECT_EQ(out.find("OK!"), std::string::npos);
}

TEST_F(Collection, SaysWhatZabbixRefused) {
  using B = TrapperBehaviour;
  const std::string discovery_refused =
      "[ERRO] O Zabbix recusou a descoberta (descobertaDns) do host \"dns-lab\": confira o nome do "
      "host, o template e os hosts permitidos.\n";
  auto values_refused = [](int n, int m) {
    return "[AVISO] O Zabbix recusou " + std::to_string(n) + " de " + std::to_string(m) +
           " valores: endereços novos só são aceitos depois que a descoberta cria seus itens.\n";
  };
  const std::string one_given_up = "[ERRO] 1 de 5 envios ao Zabbix falharam.\n";
  struct Row {
    std::vector<B> script;  // per connection; the last one repeats
    int status;
    std::string ending;
  };
  const Row rows[] = {
      {{B::refused, B::success}, 1, discovery_refused},
      {{B::success, B::refused, B::success, B::refused, B::success},
       0,
       values_refused(2, 4) + "OK!\n"},
      {{B::refused}, 1, discovery_refused},
      {{B::refused, B::failed, B::failed, B::failed, B::failed, B::failed, B::refused},
       1,
       discovery_refused + one_given_up},
      {{B::success, B::failed, B::failed, B::failed, B::failed, B::failed, B::refused, B::success},
       1,
       values_refused(1, 3) + one_given_up},
  };
  for (const Row& row : rows) {
    Trapper trapper(TrapperOptions::answering(row.script));
    t.out.str("");
    EXPECT_EQ(collect(trapper.port()), row.status);
    const std::string out = t.out.str();
    EXPECT_TRUE(out.ends_with(
        (out.find('\x1b') == std::string::npos ? debug_line_text : "\x1b[0;0m\n") + row.ending))
        << out;
    EXPECT_EQ(out.find("OK!") != std::string::npos, row.status == 0) << out;
  }
}

TEST_F(Collection, TheConfigurationFileChoosesPortAndEncryption) {
  // A PSK trapper on its own port: the run must take both from the file.
  TrapperOptions psk;
  psk.tls.emplace();
  psk.tls->psk_identity = "dns-lab";
  psk.tls->psk = std::string(16, '\x11');
  Trapper trapper(psk);
  const auto key = dir.write("psk.key", std::string(32, '1') + "\n");
  std::filesystem::permissions(key, std::filesystem::perms::owner_read);
  t.ctx.configuration_file =
      dir.write("quillet.conf",
                "TLSConnect=psk\nTLSPSKIdentity=dns-lab\nTLSPSKFile=" + key.string() +
                    "\nServerPort=" + std::to_string(trapper.port()) + "\n")
          .string();
  EXPECT_EQ(collect(testing::closed_loopback_port()), 0);
  EXPECT_EQ(t.out.str(), debug_line_text + "OK!\n");
  EXPECT_EQ(trapper.requests().size(), 5u);

  // A file that cannot be used ends the run before the capture.
  dir.write("quillet.conf", "TLSConnect=psk\n");
  t.out.str("");
  t.runner.calls.clear();
  EXPECT_THROW(collect(trapper.port()), ConfigError);
  EXPECT_EQ(t.out.str(), "");
  EXPECT_TRUE(t.runner.calls.empty());
  EXPECT_EQ(trapper.requests().size(), 5u);
}

TEST_F(Collection, FailedCaptureEndsWithStatus1) {
  t.runner.on_run = [](const std::string&) { return ExitStatus{}; };
  EXPECT_EQ(collect(testing::closed_loopback_port()), 1);
  EXPECT_EQ(t.out.str(), debug_line_text +
                             "[ERRO] Nenhum pacote DNS capturado (arquivo .pcap vazio).\n"
                             " Erro ao Capturar dados do dnstop.\n");
}

TEST_F(Collection, ASecondRunLeavesTheWorkingFilesAlone) {
  dir.write("dump.pcap", "earlier capture");
  Fd holder(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_EQ(::flock(holder.get(), LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(collect(testing::closed_loopback_port()), 1);
  EXPECT_EQ(t.out.str(),
            "[ERRO] Outra coleta já está em execução em " + t.ctx.capture.work_dir + ".\n");
  EXPECT_TRUE(t.runner.calls.empty());
  EXPECT_EQ(testing::read_file(dir.path() / "dump.pcap"), "earlier capture");

  holder.reset();
  Trapper trapper;
  EXPECT_EQ(collect(trapper.port()), 0);
}

}  // namespace
}  // namespace quillet
