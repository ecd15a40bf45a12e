#include "fake_tools.h"

#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <utility>

#include "scratch.h"

namespace quillet::testing {

FakeTools::FakeTools(std::filesystem::path bin) : bin_(std::move(bin)) {
  std::filesystem::create_directories(bin_);
  std::filesystem::permissions(
      bin_, std::filesystem::perms::group_exec | std::filesystem::perms::others_exec,
      std::filesystem::perm_options::add);
  if (const char* path = ::getenv("PATH")) saved_path_ = path;
  ::setenv("PATH", bin_.c_str(), 1);
}

FakeTools::~FakeTools() {
  if (saved_path_) {
    ::setenv("PATH", saved_path_->c_str(), 1);
  } else {
    ::unsetenv("PATH");
  }
}

void FakeTools::install(const std::string& name, const std::string& body) const {
  auto file = bin_ / name;
  std::ofstream(file, std::ios::binary | std::ios::trunc) << "#!/bin/sh\n" << body << '\n';
  // Executable by anyone: a contained program runs as a user of its own.
  namespace fs = std::filesystem;
  fs::permissions(file, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
}

RedirectedFd::RedirectedFd(int fd, const std::filesystem::path& file) : fd_(fd) {
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  int flags = fd == STDIN_FILENO ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC;
  Fd target(::open(file.c_str(), flags | O_CLOEXEC, 0600));
  saved_ = Fd(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
  if (!target || !saved_ || ::dup2(target.get(), fd) < 0) {
    throw std::runtime_error("redirecting descriptor " + std::to_string(fd) + " to " +
                             file.string() + ": " + std::strerror(errno));
  }
}

RedirectedFd::~RedirectedFd() {
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  ::dup2(saved_.get(), fd_);
}

void own_uid() {
  static bool done = false;  // the first copy stays bound, unlinked: once
  if (std::exchange(done, true)) return;
  std::string passwd = read_file("/etc/passwd");
  const std::string_view entry = "\n_quillet:x:";
  const std::size_t line = passwd.find(entry);
  if (line == std::string::npos || ::geteuid() != 0 || ::unshare(CLONE_NEWNS) != 0) return;
  const std::size_t from = line + entry.size(), to = passwd.find(':', passwd.find(':', from) + 1);
  const std::string uid = std::to_string(1879048192L + ::getpid());
  const ScratchDir dir;
  const auto copy = dir.write("passwd", passwd.replace(from, to - from, uid + ":" + uid));
  std::filesystem::permissions(copy, std::filesystem::perms::others_read,
                               std::filesystem::perm_options::add);
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount(copy.c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0)
    throw std::runtime_error(std::string("own_uid: ") + std::strerror(errno));
}

}  // namespace quillet::testing
