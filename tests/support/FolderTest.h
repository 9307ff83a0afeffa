// A test fixture with a fresh, empty folder of its own, removed afterwards,
// and the file helpers that tests working in it need. Names and paths are
// UTF-8, on Windows too.

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

// A path from UTF-8 and back. On Linux the bytes stay as they are; on
// Windows they are converted from and to UTF-16, where the plain
// conversions would use the ANSI code page.
inline std::filesystem::path PathFromUtf8(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}
inline std::string Utf8(const std::filesystem::path& path) {
  const std::u8string utf8 = path.u8string();
  return std::string(utf8.begin(), utf8.end());
}

class FolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern =
        Utf8(std::filesystem::temp_directory_path() / "karvello.XXXXXX");
#ifdef _WIN32
    // No mkdtemp: _mktemp_s names it, and creating it fails if it is taken.
    ASSERT_EQ(_mktemp_s(pattern.data(), pattern.size() + 1), 0);
    ASSERT_TRUE(std::filesystem::create_directory(PathFromUtf8(pattern)));
#else
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
#endif
    dir_ = PathFromUtf8(pattern);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // The path of `name` in the folder; a path that is already absolute
  // stays as it is.
  std::string PathOf(const std::string& name) {
    return Utf8(dir_ / PathFromUtf8(name));
  }
  // Writes `bytes` to the file `name` in the folder, replacing it, and
  // returns its path.
  std::string Write(const std::string& name, const std::string& bytes) {
    std::ofstream(dir_ / PathFromUtf8(name), std::ios::binary) << bytes;
    return PathOf(name);
  }
  // The bytes of the file `name` in the folder; empty when it is missing.
  std::string Contents(const std::string& name) {
    std::ostringstream bytes;
    bytes << std::ifstream(dir_ / PathFromUtf8(name), std::ios::binary).rdbuf();
    return bytes.str();
  }
  // The names in the folder, or in its subfolder `sub`, in no set order.
  std::vector<std::string> Names(const std::string& sub = "") {
    std::vector<std::string> names;
    for (const auto& entry :
         std::filesystem::directory_iterator(dir_ / PathFromUtf8(sub))) {
      names.push_back(Utf8(entry.path().filename()));
    }
    return names;
  }

  std::filesystem::path dir_;
};

}  // namespace karvello::testing

#endif  // KARVELLO_TESTS_SUPPORT_FOLDERTEST_H_
