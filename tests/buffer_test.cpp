#include "buffer.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "failure_of.h"
#include "scratch.h"

namespace quillet {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;
using std::chrono::system_clock;
using testing::failure_of;
using testing::kNoFailure;
using testing::read_file;
using testing::ScratchDir;

constexpr std::int64_t kNow = 1765000000;
const system_clock::time_point now{seconds(kNow)};

ZabbixMetric value(std::string key, MetricValue v, std::int64_t clock, std::int32_t ns = 0) {
  return {"dns-lab", std::move(key), std::move(v), ValueClock{clock, ns}};
}

// "host key=value@clock.ns/announced" per value, for comparisons.
std::vector<std::string> shown(const BufferContents& contents) {
  std::vector<std::string> out;
  for (const BufferedValue& v : contents.values) {
    const ZabbixMetric m = contents.metric(v);
    out.push_back(m.host + " " + m.key + "=" + value_text(m.value) + "@" + std::to_string(v.clock) +
                  "." + std::to_string(v.ns) + "/" + std::to_string(v.announced) +
                  (v.refused ? " refused" : ""));
  }
  return out;
}

std::vector<std::uint32_t> all_of(const BufferContents& contents) {
  std::vector<std::uint32_t> all(contents.values.size());
  for (std::uint32_t i = 0; i < all.size(); ++i)
    all[i] = i;
  return all;
}

struct Buffer : ::testing::Test {
  ScratchDir dir;
  std::string file = (dir.path() / "quillet.buffer").string();
  PersistentBuffer buffer{file, std::chrono::hours(1)};
  const std::string header = "{\"quillet_buffer\":2,\"sent\":49                  }\n";
};

TEST_F(Buffer, KeepsEveryKindOfValueAndAnnouncesOnlyThoseBefore) {
  EXPECT_TRUE(buffer.read(now).values.empty());
  buffer.append({value("contDns[192.0.2.10]", std::int64_t{152}, kNow - 60, 999999999),
                 value("percentDns[192.0.2.10]", 100.0, kNow - 60),
                 value("percentDns[2001:db8::1]", 1.0 / 3.0, kNow, 5),
                 value("percentDns[2001:db8::2]", std::nan(""), kNow),
                 value("k\"\\\n", std::string("{\"data\": []} é"), kNow, 5)},
                0);
  buffer.announce("dns-lab", {"contDns[192.0.2.10]", "percentDns[2001:db8::1]"}, 7);
  buffer.append({value("contDns[192.0.2.10]", std::int64_t{3}, kNow)}, 0);
  const BufferContents read = buffer.read(now);
  EXPECT_EQ(shown(read), (std::vector<std::string>{
                             "dns-lab contDns[192.0.2.10]=152@1764999940.999999999/7",
                             "dns-lab percentDns[192.0.2.10]=100.0@1764999940.0/0",
                             "dns-lab percentDns[2001:db8::1]=0.3333333333333333@1765000000.5/7",
                             "dns-lab percentDns[2001:db8::2]=NaN@1765000000.0/0",
                             "dns-lab k\"\\\n={\"data\": []} é@1765000000.5/0",
                             "dns-lab contDns[192.0.2.10]=3@1765000000.0/0"}));
  EXPECT_EQ(read.values[1].kind, BufferedValue::Kind::real);
  EXPECT_EQ(read.damaged + read.dropped, 0u);
  EXPECT_FALSE(read.stale);
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_TRUE(read_file(file).starts_with(header + "{\"values\":[{\"host\":\"dns-lab\""));
}

TEST_F(Buffer, ADrainCommitsEachRecordAndReadsOnlyWhatWasAdded) {
  std::vector<ZabbixMetric> values;
  for (int i = 0; i < 5; ++i)
    values.push_back(value("contDns[192.0.2." + std::to_string(i) + "]", std::int64_t{i}, kNow));
  buffer.append(values, 1);
  BufferContents read = buffer.read(now);
  // Two records of the first three, then one of the last two.
  const std::vector<std::uint64_t> ends = buffer.rewrite(read, all_of(read), 2, 3);
  ASSERT_EQ(ends.size(), 3u);
  EXPECT_EQ(ends.back(), fs::file_size(file));
  buffer.commit(read, ends[1]);
  EXPECT_EQ(shown(buffer.read(now)),
            (std::vector<std::string>{"dns-lab contDns[192.0.2.3]=3@1765000000.0/1",
                                      "dns-lab contDns[192.0.2.4]=4@1765000000.0/1"}));

  read = buffer.read(now);
  buffer.append({value("a", std::int64_t{9}, kNow)}, 0);
  ASSERT_TRUE(buffer.read_more(now, read));
  EXPECT_EQ(read.values.size(), 3u);
  // Committed or rewritten by another run since: not the file read, nor marked.
  BufferContents other = buffer.read(now);
  buffer.commit(other, ends[2]);
  EXPECT_FALSE(buffer.read_more(now, read));
  const std::string committed = read_file(file);
  EXPECT_EQ(failure_of<BufferError>([&] { buffer.commit(read, ends[1]); }),
            "o arquivo mudou desde que foi lido");
  EXPECT_EQ(read_file(file), committed);
  read = other = buffer.read(now);
  buffer.rewrite(other, {}, 2);
  EXPECT_FALSE(buffer.read_more(now, read));
  EXPECT_EQ(read_file(file), header);
}

TEST_F(Buffer, ReadingLeavesOutOldValuesAndDamageAndSkipsThemOnce) {
  buffer.append({value("a", std::int64_t{1}, kNow - 3601)}, 0);
  dir.write("torn", "{\"values\":[{\"host\":\"dns-lab\",\"ke");
  {
    std::string text = read_file(file) + read_file(dir.path() / "torn") + "\n";
    text +=
        R"({"values":[{"host":"h","key":"k","value":null,"clock":1765000000,"ns":0,"announced":0},)"
        R"({"host":"h","key":"b","value":2,"clock":1765000000,"ns":0,"announced":0,"refused":1}]})"
        "\n";
    dir.write("quillet.buffer", text + "[]\n{\"announce\":1}\n");
  }
  buffer.append({value("c", std::int64_t{3}, kNow - 7200)}, 0);
  const BufferContents read = buffer.read(now);
  EXPECT_EQ(shown(read), std::vector<std::string>{"h b=2@1765000000.0/0 refused"});
  EXPECT_EQ(read.dropped, 2u);
  EXPECT_EQ(read.damaged, 4u);
  EXPECT_TRUE(read.stale);
  // The records before the first value left are said once.
  BufferContents again = read;
  buffer.skip_dead(again);
  const BufferContents next = buffer.read(now);
  EXPECT_EQ(next.dropped + next.damaged, 4u);
  EXPECT_EQ(next.values.size(), 1u);
  // Rewritten by another run since this one read: its offset stays out.
  BufferContents other = read;
  buffer.rewrite(other, {0}, 1);
  const std::string rewritten = read_file(file);
  buffer.skip_dead(again = read);
  EXPECT_EQ(read_file(file), rewritten);
}

TEST_F(Buffer, TheFirstFormatIsCarriedOverAndWhatIsNoBufferMovedAside) {
  const std::string entry =
      R"({"host":"h","key":"k","value":1.5,"clock":1765000000,"ns":3,"announced":9})";
  dir.write("quillet.buffer",
            "{\"quillet_buffer\":1,\"values\":[\n" + entry + ",\n" +
                R"({"host":"h","key":"k","value":null,"clock":1,"ns":0,"announced":0})" + ",\n" +
                entry + "\n]}\n");
  const BufferContents read = buffer.read(now);
  EXPECT_EQ(shown(read), std::vector<std::string>(2, "h k=1.5@1765000000.3/9"));
  EXPECT_EQ(read.damaged, 1u);
  EXPECT_TRUE(read.stale);
  EXPECT_EQ(read.unreadable, "");

  // Created, then cut short before its header: empty, and kept in.
  dir.write("quillet.buffer", "");
  EXPECT_EQ(buffer.read(now).unreadable, "");
  buffer.append({value("a", std::int64_t{1}, kNow)}, 0);
  EXPECT_EQ(buffer.read(now).values.size(), 1u);

  const std::string moved = file + ".ilegivel-1765000000";
  for (const std::string text :
       {"[]\n", "{\"quillet_buffer\":1,", "{\"quillet_buffer\":3,\"sent\":49                  }\n",
        "{\"quillet_buffer\":2,\"sent\":3                   }\n",
        "{\"quillet_buffer\":2,\"sent\":50                  }\n"}) {
    dir.write("quillet.buffer", text);
    const BufferContents unreadable = buffer.read(now);
    EXPECT_NE(unreadable.unreadable, "") << text;
    EXPECT_EQ(unreadable.moved_to, moved);
    EXPECT_EQ(read_file(moved), text);
    EXPECT_FALSE(fs::exists(file));
    fs::remove(moved);
  }
  fs::create_directory(file);
  EXPECT_EQ(buffer.read(now).unreadable, "não é um arquivo comum");
  EXPECT_TRUE(fs::is_directory(moved));
}

TEST_F(Buffer, AReadErrorLeavesTheFileAsItIs) {
  buffer.append({value("a", std::int64_t{1}, kNow)}, 0);
  const std::string before = read_file(file);
  const PersistentBuffer failing(file, std::chrono::hours(1), [](int, char*, std::size_t) {
    errno = EIO;
    return ssize_t{-1};
  });
  EXPECT_EQ(failure_of<BufferError>([&] { failing.read(now); }), std::strerror(EIO));
  EXPECT_EQ(read_file(file), before);
}

TEST_F(Buffer, AFailedWriteLeavesTheOldFileAndNoTemporaryOne) {
  buffer.append({value("a", std::int64_t{1}, kNow)}, 0);
  BufferContents read = buffer.read(now);
  const std::string before = read_file(file);
  // The file-size limit makes the write fail as a full disk would, part-way.
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto previous = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::string failure = failure_of<BufferError>([&] { buffer.rewrite(read, {0, 0, 0}, 2); });
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, previous);
  EXPECT_EQ(failure, std::strerror(EFBIG));
  EXPECT_EQ(read_file(file), before);
  EXPECT_FALSE(fs::exists(file + ".tmp"));

  const PersistentBuffer nowhere((dir.path() / "none" / "quillet.buffer").string(), seconds(60));
  EXPECT_EQ(failure_of<BufferError>([&] { nowhere.append({value("a", std::int64_t{1}, 1)}, 0); }),
            std::strerror(ENOENT));
  EXPECT_EQ(failure_of<BufferError>([&] { nowhere.lock(seconds(0)); }), std::strerror(ENOENT));
}

TEST_F(Buffer, OneHolderOfTheLockAtATimeAndAWaitThatEnds) {
  std::optional<Fd> first = buffer.lock(seconds(0));
  ASSERT_TRUE(first && *first);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(buffer.lock(std::chrono::milliseconds(200)));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
  struct stat st {};
  ASSERT_EQ(::stat((file + ".lock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  first.reset();
  EXPECT_TRUE(buffer.lock(seconds(0)));
}

TEST_F(Buffer, ADirectoryThatOthersMayWriteIsRefused) {
  PersistentBuffer checked{file, std::chrono::hours(1)};
  EXPECT_EQ(failure_of<BufferError>([&] { checked.open_directory(); }), kNoFailure);
  fs::permissions(dir.path(), fs::perms::group_write, fs::perm_options::add);
  EXPECT_EQ(failure_of<BufferError>([&] { checked.open_directory(); }),
            "o diretório " + dir.path().string() +
                " tem permissões 0720, que permitem escrita por grupo ou outros; use chmod 700");
  fs::permissions(dir.path(), fs::perms::group_write, fs::perm_options::remove);
  // Absent at the check, made since by anyone: checked at its first use.
  const fs::path later = dir.path() / "later";
  PersistentBuffer missing{(later / "quillet.buffer").string(), std::chrono::hours(1)};
  missing.open_directory();
  fs::create_directory(later);
  fs::permissions(later, fs::perms::all);
  EXPECT_EQ(failure_of<BufferError>([&] { missing.append({value("a", std::int64_t{1}, 1)}, 0); }),
            "o diretório " + later.string() +
                " tem permissões 0777, que permitem escrita por grupo ou outros; use chmod 700");
  if (::geteuid() != 0) return;  // only root gives a directory away
  ASSERT_EQ(::chown(dir.path().c_str(), 65534, 0), 0);
  EXPECT_EQ(failure_of<BufferError>([&] { checked.open_directory(); }),
            "o diretório " + dir.path().string() +
                " pertence ao uid 65534; deve pertencer a root; use chown");
}

}  // namespace
}  // namespace quillet
