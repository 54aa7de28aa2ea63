// A fresh directory of the current test's own: its name carries the process
// id, so the same test run by two builds, or by a suite and its seeded
// rerun at once, never shares (or removes) another's files.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

namespace veltocam::test {

inline std::filesystem::path FreshTestDirectory(const std::string& prefix) {
  std::string test = testing::UnitTest::GetInstance()->current_test_info()->name();
  std::replace(test.begin(), test.end(), '/', '_');  // parameterised names
  const std::filesystem::path root =
      std::filesystem::temp_directory_path() / (prefix + std::to_string(::getpid()) + "_" + test);
  std::filesystem::remove_all(root);
  std::filesystem::create_directories(root);
  return root;
}

}  // namespace veltocam::test
