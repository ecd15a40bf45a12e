// Scratch directories for tests, removed with their contents at the end.
#pragma once

#include <filesystem>
#include <string>

namespace quillet::testing {

class ScratchDir {
 public:
  explicit ScratchDir(const std::filesystem::path& base = std::filesystem::temp_directory_path());
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Writes `content` to `name` under the directory and returns its path.
  std::filesystem::path write(const std::string& name, const std::string& content,
                              bool executable = false) const;

 private:
  std::filesystem::path path_;
};

std::string read_file(const std::filesystem::path& path);

}  // namespace quillet::testing
