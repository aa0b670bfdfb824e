// A private temporary folder for one test, removed with everything in it
// when the test is done.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace adckit::test {

class TempDir {
 public:
  // Made under the system's temporary folder as <prefix>-XXXXXX; throws
  // std::runtime_error when that fails.
  explicit TempDir(std::string_view prefix = "adckit-test");
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::filesystem::path &path() const { return path_; }
  // The path of `name` inside the folder.
  std::string operator/(std::string_view name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace adckit::test
