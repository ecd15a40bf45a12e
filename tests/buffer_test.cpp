#include "buffer.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
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

BufferedValue value(std::string key, MetricValue v, std::int64_t clock, std::int32_t ns = 0,
                    std::int64_t announced = 0) {
  return {{"dns-lab", std::move(key), std::move(v), ValueClock{clock, ns}}, announced};
}

// "host key=value@clock.ns/announced" per value, for comparisons.
std::vector<std::string> shown(const std::vector<BufferedValue>& values) {
  std::vector<std::string> out;
  for (const BufferedValue& v : values) {
    const ValueClock c = v.metric.clock.value_or(ValueClock{-1, -1});
    out.push_back(v.metric.host + " " + v.metric.key + "=" + value_text(v.metric.value) + "@" +
                  std::to_string(c.clock) + "." + std::to_string(c.ns) + "/" +
                  std::to_string(v.announced));
  }
  return out;
}

std::vector<std::string> names_in(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

struct Buffer : ::testing::Test {
  ScratchDir dir;
  std::string file = (dir.path() / "quillet.buffer").string();
  PersistentBuffer buffer{file, std::chrono::hours(1)};
};

TEST_F(Buffer, WritesAtomicallyAndReadsBackEveryKindOfValue) {
  EXPECT_TRUE(buffer.read(now).values.empty());
  EXPECT_TRUE(names_in(dir.path()).empty());
  const std::vector<BufferedValue> values = {
      value("contDns[192.0.2.10]", std::int64_t{152}, kNow - 60, 999999999, 1),
      value("percentDns[192.0.2.10]", 100.0, kNow - 60, 0),
      value("percentDns[2001:db8::1]", 1.0 / 3.0, kNow, 5, kNow * 1000000000),
      value("k\"\\\n", std::string("{\"data\": []} é"), kNow, 5),
  };
  buffer.write(values);
  const BufferContents read = buffer.read(now);
  EXPECT_EQ(shown(read.values), shown(values));
  EXPECT_EQ(std::get<double>(read.values[1].metric.value), 100.0);
  EXPECT_EQ(read.dropped, 0u);
  EXPECT_EQ(read.unreadable, "");
  // Only the file itself, private, with its version marker; no temporary file left.
  EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"quillet.buffer"});
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_TRUE(read_file(file).starts_with("{\"quillet_buffer\":1,\"values\":[\n{\"host\""));

  buffer.write({});
  EXPECT_TRUE(buffer.read(now).values.empty());
}

TEST_F(Buffer, ReadingDropsWhatIsOlderThanThePeriod) {
  buffer.write({value("a", std::int64_t{1}, kNow - 3601), value("b", std::int64_t{2}, kNow - 3600),
                value("c", std::int64_t{3}, kNow - 7200), value("d", std::int64_t{4}, kNow + 5)});
  const BufferContents read = buffer.read(now);
  EXPECT_EQ(read.dropped, 2u);
  EXPECT_EQ(shown(read.values),
            (std::vector<std::string>{"dns-lab b=2@1764996400.0/0", "dns-lab d=4@1765000005.0/0"}));
}

TEST_F(Buffer, AnUnreadableFileIsMovedAside) {
  const std::string moved = file + ".ilegivel-1765000000";
  const std::string entry = R"({"host":"h","key":"k","value":1,"clock":1,"ns":0,"announced":0})";
  const std::pair<std::string, std::string> rows[] = {
      {"", "não é JSON válido"},
      {"{\"quillet_buffer\":1,\"values\":[" + entry + "]", "não é JSON válido"},
      {"[]", "não é um buffer persistente do quillet, versão 1"},
      {R"({"quillet_buffer":2,"values":[]})", "não é um buffer persistente do quillet, versão 1"},
      {R"({"values":[]})", "não é um buffer persistente do quillet, versão 1"},
      {"{\"quillet_buffer\":1,\"values\":[" + entry + "," +
           R"({"host":"h","key":"k","value":1,"clock":1,"ns":1000000000,"announced":0}]})",
       "o valor 2 é inválido"},
      {R"({"quillet_buffer":1,"values":[{"host":"h","key":"k","value":null,"clock":1,"ns":0,"announced":0}]})",
       "o valor 1 é inválido"},
      {R"({"quillet_buffer":1,"values":[{"host":"h","key":"k","value":1,"clock":"1","ns":0,"announced":0}]})",
       "o valor 1 é inválido"},
  };
  for (const auto& [text, cause] : rows) {
    dir.write("quillet.buffer", text);
    const BufferContents read = buffer.read(now);
    EXPECT_EQ(read.unreadable, cause) << text;
    EXPECT_EQ(read.moved_to, moved);
    EXPECT_TRUE(read.values.empty());
    EXPECT_EQ(read_file(moved), text);
    EXPECT_FALSE(fs::exists(file));
    fs::remove(moved);
  }
  fs::create_directory(file);
  EXPECT_EQ(buffer.read(now).unreadable, "não é um arquivo comum");
  EXPECT_TRUE(fs::is_directory(moved));
}

TEST_F(Buffer, AFailedWriteLeavesTheOldFileAndNoTemporaryOne) {
  buffer.write({value("a", std::int64_t{1}, kNow)});
  const std::string before = read_file(file);
  // The file-size limit makes the write fail as a full disk would, part-way.
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto previous = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::string failure = failure_of<BufferError>(
      [&] { buffer.write(std::vector<BufferedValue>(10, value("b", std::int64_t{2}, kNow))); });
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, previous);
  EXPECT_EQ(failure, std::strerror(EFBIG));
  EXPECT_EQ(read_file(file), before);
  EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"quillet.buffer"});

  const PersistentBuffer nowhere((dir.path() / "none" / "quillet.buffer").string(), seconds(60));
  EXPECT_EQ(failure_of<BufferError>([&] { nowhere.write({}); }), std::strerror(ENOENT));
  EXPECT_EQ(failure_of<BufferError>([&] { nowhere.lock(true); }), std::strerror(ENOENT));
}

TEST_F(Buffer, OneHolderOfTheLockAtATime) {
  std::optional<Fd> first = buffer.lock(false);
  ASSERT_TRUE(first && *first);
  EXPECT_FALSE(buffer.lock(false));
  struct stat st {};
  ASSERT_EQ(::stat((file + ".lock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  first.reset();
  EXPECT_TRUE(buffer.lock(false));
  EXPECT_EQ(failure_of<BufferError>([&] { buffer.lock(true); }), kNoFailure);
}

}  // namespace
}  // namespace quillet
