// Stand-ins for the outside programs a capture runs, and redirection of the
// test's own standard descriptors, for tests of the real shell runner.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "os.h"

namespace quillet::testing {

// Shell scripts in `bin`, which is the whole PATH while the object lives: a
// program that is not installed here is not found at all. The previous PATH
// comes back at the end.
class FakeTools {
 public:
  explicit FakeTools(std::filesystem::path bin);
  ~FakeTools();
  FakeTools(const FakeTools&) = delete;
  FakeTools& operator=(const FakeTools&) = delete;

  // Installs `name` as a /bin/sh script with `body` after the "#!" line. Only
  // shell built-ins and other installed tools are on PATH for it.
  void install(const std::string& name, const std::string& body) const;
  const std::filesystem::path& bin() const { return bin_; }

 private:
  std::filesystem::path bin_;
  std::optional<std::string> saved_path_;
};

// Points descriptor `fd` (0, 1 or 2) at `file` until the end of the scope; the
// file is opened for reading when `fd` is 0, otherwise created for writing.
class RedirectedFd {
 public:
  RedirectedFd(int fd, const std::filesystem::path& file);
  ~RedirectedFd();
  RedirectedFd(const RedirectedFd&) = delete;
  RedirectedFd& operator=(const RedirectedFd&) = delete;

 private:
  int fd_;
  Fd saved_;
};

// Gives _quillet, for the rest of the process, the uid 1879048192 plus the
// process's id, which no other process has (tests/support/sandbox.sh does the
// same for the end-to-end suites): RLIMIT_NPROC counts every process of a uid
// system-wide. A mount namespace with an /etc/passwd that says so; without
// root, the user or such a namespace, nothing changes.
void own_uid();

}  // namespace quillet::testing
