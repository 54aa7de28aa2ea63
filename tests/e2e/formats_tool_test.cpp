// veltocam formats as a user runs it: the capture stream's formats in list
// order, as text and as one JSON document.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "apps/commands.h"
#include "apps/formats_report.h"

namespace {

// Runs the command on a system directory of its own, never the user's.
std::string RunFormats(std::vector<std::string> args, int* status) {
  std::string directory =
      (std::filesystem::temp_directory_path() / "veltocam-formats-XXXXXX").string();
  EXPECT_NE(mkdtemp(directory.data()), nullptr);
  args.insert(args.begin(), {"veltocam", "formats"});
  args.insert(args.end(), {"--system", directory});
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  testing::internal::CaptureStdout();
  *status = veltocam::app::FormatsCommand(static_cast<int>(argv.size()), argv.data());
  std::filesystem::remove_all(directory);
  return testing::internal::GetCapturedStdout();
}

TEST(FormatsTool, ListsTheCaptureFormatsInListOrder) {
  int status = -1;
  const std::string text = RunFormats({}, &status);
  ASSERT_EQ(status, 0);
  EXPECT_NE(text.find("stream 0 (capture): 10 formats"), std::string::npos) << text;
  const std::vector<std::string> rows = {
      "  0   I420      320    240     333333   30.00      115200",
      "  3   I420      352    288     333333   30.00      152064",
      "  4   I420      640    480     333333   30.00      460800",
      "  9   RGB24     640    480     333333   30.00      921600"};
  std::size_t at = 0;
  for (const std::string& row : rows) {
    const std::size_t found = text.find(row, at);
    ASSERT_NE(found, std::string::npos) << row << "\n" << text;
    at = found;
  }
  EXPECT_EQ(text.find("still"), std::string::npos);  // this camera has one stream
}

TEST(FormatsTool, JsonHasEachStreamWithItsNumberNameAndFormats) {
  int status = -1;
  const std::string json = RunFormats({"--json"}, &status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(json.front(), '[');
  EXPECT_NE(json.find("{\"number\": 0, \"name\": \"capture\", \"formats\": ["), std::string::npos);
  EXPECT_NE(json.find("{\"index\": 1, \"fourcc\": \"I420\", \"width\": 160, \"height\": 120, "
                      "\"frameInterval\": 333333, \"fps\": 30.00, \"sampleSize\": 28800}"),
            std::string::npos)
      << json;
  std::size_t entries = 0;
  for (std::size_t at = json.find("\"index\""); at != std::string::npos;
       at = json.find("\"index\"", at + 1)) {
    ++entries;
  }
  EXPECT_EQ(entries, 10u);
  EXPECT_EQ(json.substr(json.size() - 2), "]\n");
}

// A listed format the driver refuses shows in both outputs with its index and
// the status, between the formats it answered.
TEST(FormatsTool, ARefusedFormatIsReportedAlikeAsTextAndJson) {
  using veltocam::app::StreamAnswers;
  StreamAnswers s;
  s.stream.number = 0;
  s.stream.name = "capture";
  for (ULONG i = 0; i < 3; ++i) {
    veltocam::client::FormatInfo f;
    f.index = i;
    f.compression = 0x30323449;
    f.width = 160;
    f.height = 120;
    f.frameInterval = 333333;
    f.sampleSize = 28800;
    s.answers.push_back({f, i == 1 ? STATUS_NO_MATCH : STATUS_SUCCESS});
  }
  const auto print = [&](void (*printer)(std::FILE*, const std::vector<StreamAnswers>&)) {
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    printer(out, {s});
    std::fclose(out);
    std::string result(text, size);
    std::free(text);
    return result;
  };
  const std::string text = print(veltocam::app::PrintFormatsText);
  const std::string json = print(veltocam::app::PrintFormatsJson);
  EXPECT_NE(text.find("  1   refused (status 0xC0000272)"), std::string::npos) << text;
  EXPECT_NE(json.find("{\"index\": 1, \"refused\": true, \"status\": \"0xC0000272\"},\n"
                      "    {\"index\": 2, \"fourcc\": \"I420\""),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"index\": 0, \"fourcc\""), std::string::npos) << json;
}

TEST(FormatsTool, RefusesArguments) {
  int status = -1;
  RunFormats({"--size", "1x1"}, &status);
  EXPECT_EQ(status, 1);
}

}  // namespace
