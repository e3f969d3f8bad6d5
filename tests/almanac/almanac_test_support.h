// Shared helpers of the almanac tests: scratch files and failure messages.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "DEVUror/zqm_exceptions.h"

namespace almanac_test {

// A fresh directory, removed with everything in it when the test ends.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "almanac-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Writes `content` to `name` in the directory (replacing it); returns the path.
  std::string Write(const std::string& name, std::string_view content) const {
    const std::string path = (path_ / name).string();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    return path;
  }
  std::string PathOf(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// The message of the `Exception` that `action` throws; a test failure when it
// throws nothing.
template <class Exception = ZQM_EException, class Action>
std::string FailureOf(Action action) {
  try {
    action();
  } catch (const Exception& failure) {
    return failure.ZQ_Message().Text();
  }
  ADD_FAILURE() << "expected a " << Exception::ZQ_ClassName() << ", nothing was thrown";
  return {};
}

}  // namespace almanac_test
