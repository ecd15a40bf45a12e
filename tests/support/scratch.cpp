#include "scratch.h"

#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace quillet::testing {

ScratchDir::ScratchDir(const std::filesystem::path& base) {
  std::string pattern = (base / "quillet-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path ScratchDir::write(const std::string& name, const std::string& content,
                                        bool executable) const {
  auto file = path_ / name;
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << content;
  if (executable) {
    std::filesystem::permissions(file, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add);
  }
  return file;
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

}  // namespace quillet::testing
