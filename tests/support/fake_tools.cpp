#include "fake_tools.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <stdexcept>

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

}  // namespace quillet::testing
