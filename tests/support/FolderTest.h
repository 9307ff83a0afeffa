// A test fixture with a fresh, empty folder of its own, removed afterwards,
// and the file helpers that tests working in it need.

#ifndef KARVELLO_TESTS_SUPPORT_FOLDERTEST_H_
#define KARVELLO_TESTS_SUPPORT_FOLDERTEST_H_

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace karvello::testing {

class FolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern =
        std::filesystem::temp_directory_path() / "karvello.XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // The path of `name` in the folder; a path that is already absolute
  // stays as it is.
  std::string PathOf(const std::string& name) { return dir_ / name; }
  // Writes `bytes` to the file `name` in the folder, replacing it, and
  // returns its path.
  std::string Write(const std::string& name, const std::string& bytes) {
    std::ofstream(dir_ / name, std::ios::binary) << bytes;
    return PathOf(name);
  }
  // The bytes of the file `name` in the folder; empty when it is missing.
  std::string Contents(const std::string& name) {
    std::ostringstream bytes;
    bytes << std::ifstream(dir_ / name, std::ios::binary).rdbuf();
    return bytes.str();
  }
  // The names in the folder, or in its subfolder `sub`, in no set order.
  std::vector<std::string> Names(const std::string& sub = "") {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_ / sub)) {
      names.push_back(entry.path().filename());
    }
    return names;
  }

  std::filesystem::path dir_;
};

}  // namespace karvello::testing

#endif  // KARVELLO_TESTS_SUPPORT_FOLDERTEST_H_
