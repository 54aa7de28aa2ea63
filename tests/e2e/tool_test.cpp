// The veltocam commands as a user runs them: capture at every size, decode
// of a frame the encoder made, and a truncated frame.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "apps/commands.h"
#include "apps/image_files.h"

namespace {

namespace fs = std::filesystem;

class Tool : public ::testing::Test {
 protected:
  // A directory of its own, so that two builds' runs never share files.
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "veltocam-tool-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  int Run(std::vector<std::string> args) {
    // Each test keeps its own system directory, not the user's.
    if (args[0] == "capture" || args[0] == "snapshot" || args[0] == "controls" ||
        args[0] == "formats") {
      args.insert(args.end(), {"--system", Path("system")});
    }
    args.insert(args.begin(), "veltocam");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    const std::string& command = args[1];
    const int argc = static_cast<int>(argv.size());
    if (command == "capture") return veltocam::app::CaptureCommand(argc, argv.data());
    if (command == "decode") return veltocam::app::DecodeCommand(argc, argv.data());
    if (command == "formats") return veltocam::app::FormatsCommand(argc, argv.data());
    if (command == "snapshot") return veltocam::app::SnapshotCommand(argc, argv.data());
    if (command == "controls") return veltocam::app::ControlsCommand(argc, argv.data());
    return veltocam::app::EncodeCommand(argc, argv.data());
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  std::string StoreText() const {
    std::ifstream file(dir_ / "system" / "registry.reg", std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
  }
  void WriteStore(const std::string& text) const {
    std::ofstream(dir_ / "system" / "registry.reg", std::ios::binary) << text;
  }

  fs::path dir_;
};

TEST_F(Tool, CaptureWritesAPlayableStreamAtEveryCaptureSize) {
  for (const char* size : {"640x480", "352x288", "320x240", "176x144", "160x120"}) {
    SCOPED_TRACE(size);
    const std::string out = Path(std::string(size) + ".y4m");
    ASSERT_EQ(Run({"capture", "--frames", "3", "--size", size, "-o", out}), 0);
    const int w = std::stoi(size), h = std::stoi(std::string(size).substr(4));
    const std::string header =
        "YUV4MPEG2 W" + std::to_string(w) + " H" + std::to_string(h) + " F30:1 Ip A1:1 C420jpeg\n";
    std::ifstream file(out, std::ios::binary);
    std::string first;
    std::getline(file, first);
    EXPECT_EQ(first + "\n", header);
    EXPECT_EQ(fs::file_size(out),
              header.size() + 3 * (6 + static_cast<std::size_t>(w) * h * 3 / 2));
  }
}

TEST_F(Tool, CaptureWritesNumberedPicturesForRgb24) {
  ASSERT_EQ(Run({"capture", "--frames", "2", "--size", "176x144", "--format", "rgb24", "--scene",
                 "bars", "-o", Path("bars.png")}),
            0);
  int w = 0, h = 0;
  std::vector<std::uint8_t> rgb;
  ASSERT_EQ(veltocam::app::ReadPngRgb(Path("bars-00002.png"), &w, &h, &rgb), "");
  EXPECT_EQ(w, 176);
  EXPECT_EQ(h, 144);
  // Top-left: the light grey bar; top-right: black.
  EXPECT_NEAR(rgb[0], 191, 3);
  EXPECT_LT(rgb[(176 - 1) * 3], 8);
}

TEST_F(Tool, TheRegistryIsKeptInTheSystemDirectoryBetweenRuns) {
  ASSERT_EQ(
      Run({"capture", "--frames", "1", "--size", "160x120", "--qtable", "7", "-o", Path("a.y4m")}),
      0);
  std::string store = StoreText();
  // The picture settings the stream restored were saved; the run's own
  // Q table was not.
  EXPECT_NE(store.find("\"Brightness\"=dword:00000080"), std::string::npos);
  EXPECT_NE(store.find("\"QTableIndex\"=dword:00000003"), std::string::npos);

  // A setting in the saved registry is what the next run starts from.
  const std::string from = "\"Brightness\"=dword:00000080";
  store.replace(store.find(from), from.size(), "\"Brightness\"=dword:0000000a");
  WriteStore(store);
  ASSERT_EQ(Run({"capture", "--frames", "1", "--size", "160x120", "-o", Path("b.y4m")}), 0);
  EXPECT_NE(StoreText().find("\"Brightness\"=dword:0000000a"), std::string::npos);
}

TEST_F(Tool, ARegistryThatCannotBeReadOrWrittenIsReportedAndKept) {
  fs::create_directories(dir_ / "system");
  WriteStore("not a registry file\n");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Run({"capture", "--frames", "1", "--size", "160x120", "-o", Path("a.y4m")}), 1);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("registry.reg"), std::string::npos);
  EXPECT_EQ(StoreText(), "not a registry file\n");

  // The temporary file's name is taken: the old registry stays whole.
  fs::remove(dir_ / "system" / "registry.reg");
  ASSERT_EQ(Run({"capture", "--frames", "1", "--size", "160x120", "-o", Path("a.y4m")}), 0);
  const std::string good = StoreText();
  fs::create_directories(dir_ / "system" / "registry.reg.tmp");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Run({"capture", "--frames", "1", "--size", "160x120", "-o", Path("a.y4m")}), 1);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("the registry was not saved"),
            std::string::npos);
  EXPECT_EQ(StoreText(), good);
}

TEST_F(Tool, SnapshotMakesAPictureOfTheSnapshotFileAtTheSizeItsLengthSays) {
  fs::create_directories(dir_ / "system");
  EXPECT_EQ(Run({"snapshot", "-o", Path("none.png")}), 1);
  auto save = [&](const std::vector<char>& bytes) {
    std::ofstream(dir_ / "system" / "snap.dat", std::ios::binary)
        .write(bytes.data(), static_cast<long>(bytes.size()));
  };
  for (const auto& [w, h] : {std::pair{640, 480}, {352, 288}, {320, 240}, {176, 144}, {160, 120}}) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    // White luma, no colour.
    std::vector<char> picture(static_cast<std::size_t>(w) * h, '\xff');
    picture.resize(picture.size() * 3 / 2, '\x80');
    save(picture);
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(Run({"snapshot", "-o", Path("snap.png")}), 0);
    ::testing::internal::GetCapturedStdout();
    int pw = 0, ph = 0;
    std::vector<std::uint8_t> rgb;
    ASSERT_EQ(veltocam::app::ReadPngRgb(Path("snap.png"), &pw, &ph, &rgb), "");
    EXPECT_EQ(pw, w);
    EXPECT_EQ(ph, h);
    EXPECT_GT(rgb[0], 250);
  }
  // A short file, and two bytes a pixel (the driver's image type 0).
  for (const std::size_t length : std::initializer_list<std::size_t>{5, 160 * 120 * 2}) {
    save(std::vector<char>(length, '\x10'));
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Run({"snapshot", "-o", Path("bad.png")}), 1);
    EXPECT_NE(
        ::testing::internal::GetCapturedStderr().find(std::to_string(length) + " bytes is not"),
        std::string::npos);
  }
  EXPECT_FALSE(fs::exists(Path("bad.png")));
}

// The controls listing's value of `name`, or "" when it is not listed.
std::string ListedValue(const std::string& listing, const std::string& name) {
  std::istringstream lines(listing);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::vector<std::string> fields{std::istream_iterator<std::string>(words), {}};
    if (fields.size() == 7 && fields[1] == name) return fields[6];
  }
  return "";
}

// Each run writes back the whole registry it loaded: a second run at the
// same time would undo what the first one set when it ends.
TEST_F(Tool, ASystemDirectoryServesOneRunAtATime) {
  fs::create_directories(dir_ / "system");
  const int other = ::open((dir_ / "system" / "lock").c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::flock(other, LOCK_EX), 0);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"controls", "--set", "brightness=50"},
        {"capture", "--frames", "1", "--size", "160x120", "-o", Path("a.y4m")}}) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Run(args), 1);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("is in use by another veltocam run"), std::string::npos) << err;
  }
  EXPECT_FALSE(fs::exists(dir_ / "system" / "registry.reg"));
  ::close(other);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(Run({"controls", "--set", "brightness=50"}), 0);
  EXPECT_EQ(ListedValue(::testing::internal::GetCapturedStdout(), "brightness"), "50");
}

TEST_F(Tool, ControlsListsEveryAdvertisedPropertyAndKeepsWhatIsSet) {
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(Run({"controls"}), 0);
  std::string listing = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), 1 + 5 + 14 + 4);
  EXPECT_NE(listing.find("procamp      brightness              0 0..255           1      128"),
            std::string::npos)
      << listing;
  EXPECT_EQ(ListedValue(listing, "quality"), "0");
  EXPECT_EQ(ListedValue(listing, "packet-size-max"), "8");

  ::testing::internal::CaptureStdout();
  ASSERT_EQ(Run({"controls", "--set", "brightness=200", "--set", "flip=1", "--set", "quality=75"}),
            0);
  listing = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(ListedValue(listing, "brightness"), "200");
  EXPECT_EQ(ListedValue(listing, "flip"), "1");

  // The next run starts from the saved registry.
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(Run({"controls", "--json"}), 0);
  listing = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(listing.find("\"name\": \"brightness\", \"id\": 0, \"readable\": true, "
                         "\"writable\": true, \"minimum\": 0, \"maximum\": 255, \"step\": 1, "
                         "\"default\": 128, \"value\": 200}"),
            std::string::npos)
      << listing;
  EXPECT_NE(listing.find("\"name\": \"flip\", \"id\": 13"), std::string::npos);
}

TEST_F(Tool, ControlsReportsARefusedValueWithItsRangeAndKeepsNothing) {
  ASSERT_EQ(Run({"controls", "--set", "saturation=4"}), 0);
  const std::string before = StoreText();
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Run({"controls", "--set", "hue=20", "--set", "brightness=300", "--set", "contrast=0"}),
            2);
  const std::string message = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(message.find("brightness = 300 refused by the driver (status 0xC00000BB); "
                         "brightness takes 0..255 in steps of 1"),
            std::string::npos)
      << message;
  EXPECT_NE(message.find("contrast takes 1..8"), std::string::npos) << message;
  EXPECT_EQ(StoreText(), before);
  EXPECT_EQ(Run({"controls", "--set", "whitebalance=20"}), 1);  // served, not advertised
}

TEST_F(Tool, CaptureSetsControlsTakesSnapshotsAndSeesTheButton) {
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(
      Run({"capture", "--frames", "8", "--size", "160x120", "--scene", "bars", "--set",
           "brightness=60", "--snapshot", "2", "--press-button-at", "3", "-o", Path("a.y4m")}),
      0);
  const std::string summary = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(summary.find("; 2 of 2 snapshots saved"), std::string::npos) << summary;
  EXPECT_NE(summary.find("; snapshot button pressed after frame 3\n"), std::string::npos)
      << summary;

  ASSERT_EQ(Run({"snapshot", "-o", Path("snap.png")}), 0);
  int w = 0, h = 0;
  std::vector<std::uint8_t> rgb;
  ASSERT_EQ(veltocam::app::ReadPngRgb(Path("snap.png"), &w, &h, &rgb), "");
  EXPECT_EQ(w, 160);
  EXPECT_EQ(h, 120);
  EXPECT_LT(rgb[(160 - 1) * 3], 8);  // the bars' black corner: a real picture

  ::testing::internal::CaptureStdout();
  ASSERT_EQ(Run({"controls"}), 0);
  EXPECT_EQ(ListedValue(::testing::internal::GetCapturedStdout(), "brightness"), "60");

  const std::string before = StoreText();
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Run({"capture", "--frames", "2", "--set", "contrast=0", "-o", Path("b.y4m")}), 2);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("contrast takes 1..8"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(Path("b.y4m")));
  EXPECT_EQ(StoreText(), before);
}

TEST_F(Tool, BadArgumentsGetAUsageError) {
  EXPECT_EQ(Run({"capture", "--format", "rgb24", "-o", Path("x.y4m")}), 1);
  // The driver would save none of these pictures.
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Run({"capture", "--format", "rgb24", "--snapshot", "1", "-o", Path("x.png")}), 1);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("I420 and IYUV pictures only"),
            std::string::npos);
  EXPECT_EQ(Run({"decode", "--size", "650x480", Path("f.bin"), "-o", Path("x.png")}), 1);
  EXPECT_EQ(Run({"decode", "--size", "640x480", Path("missing.bin"), "-o", Path("x.png")}), 1);
}

TEST_F(Tool, EveryCommandExplainsItselfAndNamesItsOptionsWhenOneIsWrong) {
  struct Case {
    const char* command;
    const char* anOption;  // one the command takes
  };
  for (const Case& c : {Case{"capture", "--size"}, Case{"decode", "--size"},
                        Case{"encode", "--size"}, Case{"formats", "--json"}}) {
    SCOPED_TRACE(c.command);
    for (const char* help : {"--help", "-h"}) {
      ::testing::internal::CaptureStdout();
      EXPECT_EQ(Run({c.command, "--colour", "red", help}), 0);
      const std::string usage = ::testing::internal::GetCapturedStdout();
      EXPECT_EQ(usage.rfind(std::string("usage: veltocam ") + c.command, 0), 0u) << usage;
    }
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Run({c.command, "--colour", "red"}), 1);
    const std::string error = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(error.find("unknown option --colour; valid: "), std::string::npos) << error;
    EXPECT_NE(error.find(c.anOption), std::string::npos) << error;
  }
}

TEST_F(Tool, DecodeMakesThePictureOfAnEncodedFrameAndReportsATruncatedOne) {
  ASSERT_EQ(Run({"encode", "--size", "320x240", "--scene", "moving", "--frame", "7", "-o",
                 Path("frame.bin")}),
            0);
  ASSERT_EQ(Run({"decode", "--size", "320x240", Path("frame.bin"), "-o", Path("frame.yuv")}), 0);
  EXPECT_EQ(fs::file_size(Path("frame.yuv")), 320u * 240 * 3 / 2);
  ASSERT_EQ(Run({"decode", "--size", "320x240", Path("frame.bin"), "-o", Path("frame.png")}), 0);

  // Half the data: exit status 2, the partial picture still written.
  const auto whole = veltocam::app::ReadWholeFile(Path("frame.bin"));
  ASSERT_TRUE(whole.has_value());
  std::ofstream(Path("half.bin"), std::ios::binary)
      .write(reinterpret_cast<const char*>(whole->data()), static_cast<long>(whole->size() / 2));
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Run({"decode", "--size", "320x240", Path("half.bin"), "-o", Path("half.y4m")}), 2);
  const std::string message = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(message.find("corrupt or truncated frame"), std::string::npos) << message;
  EXPECT_NE(message.find("of 300 macroblocks"), std::string::npos) << message;
  EXPECT_TRUE(fs::exists(Path("half.y4m")));
}

TEST_F(Tool, CaptureToStandardOutputKeepsTheSummaryOnStandardError) {
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  const int status = Run({"capture", "--frames", "2", "--size", "160x120", "-o", "-"});
  const std::string out = ::testing::internal::GetCapturedStdout();
  const std::string err = ::testing::internal::GetCapturedStderr();
  ASSERT_EQ(status, 0) << err;
  const std::string header = "YUV4MPEG2 W160 H120 F30:1 Ip A1:1 C420jpeg\n";
  EXPECT_EQ(out.substr(0, header.size()), header);
  EXPECT_EQ(out.size(), header.size() + 2 * (6 + 160 * 120 * 3 / 2));
  EXPECT_NE(err.find("2 frames of 160x120 I420 to standard output"), std::string::npos) << err;
}

// Sleep and wake mid-stream, or the camera pulled out: the frames asked for
// still come, or the ones delivered so far make a valid file and the status
// says what happened.
TEST_F(Tool, CaptureSurvivesASuspendAndEndsCleanlyWhenUnplugged) {
  const std::size_t frame = 6 + 160 * 120 * 3 / 2;
  const std::size_t header = std::string("YUV4MPEG2 W160 H120 F30:1 Ip A1:1 C420jpeg\n").size();
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(Run({"capture", "--frames", "8", "--size", "160x120", "--suspend-at", "3", "-o",
                 Path("sleep.y4m")}),
            0);
  const std::string summary = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(fs::file_size(Path("sleep.y4m")), header + 8 * frame);

  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Run({"capture", "--frames", "8", "--size", "160x120", "--unplug-at", "3", "-o",
                 Path("gone.y4m")}),
            3);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("unplugged after frame 3"), std::string::npos) << err;
  // The capture keeps four reads queued: each comes back once, none is sent again.
  EXPECT_NE(err.find("the 4 reads still queued came back"), std::string::npos) << err;
  EXPECT_EQ(fs::file_size(Path("gone.y4m")), header + 3 * frame);
  EXPECT_NE(summary.find("8 frames"), std::string::npos) << summary;
}

// The bulk camera model through the whole driver, its button pressed by the
// simulated user and seen by the tool as the snapshot device event.
TEST_F(Tool, CaptureFromTheBulkCameraReportsItsButtonPress) {
  const std::size_t frame = 6 + 160 * 120 * 3 / 2;
  const std::size_t header = std::string("YUV4MPEG2 W160 H120 F30:1 Ip A1:1 C420jpeg\n").size();
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(Run({"capture", "--camera", "bulk", "--frames", "6", "--size", "160x120",
                 "--press-button-at", "3", "-o", Path("bulk.y4m")}),
            0);
  const std::string summary = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(fs::file_size(Path("bulk.y4m")), header + 6 * frame);
  EXPECT_NE(summary.find("snapshot button pressed after frame 3; the snapshot event reached the "
                         "client"),
            std::string::npos)
      << summary;
  // The same scene through either camera model is the same picture.
  std::vector<std::uint8_t> pictures[2];
  for (const char* camera : {"iso", "bulk"}) {
    ASSERT_EQ(Run({"capture", "--camera", camera, "--frames", "2", "--size", "176x144", "--format",
                   "rgb24", "--scene", "bars", "-o", Path(std::string(camera) + ".png")}),
              0);
    int w = 0, h = 0;
    ASSERT_EQ(veltocam::app::ReadPngRgb(Path(std::string(camera) + "-00002.png"), &w, &h,
                                        &pictures[camera[0] == 'b']),
              "");
  }
  EXPECT_NEAR(pictures[1][0], 191, 3);  // the light grey bar
  EXPECT_TRUE(pictures[0] == pictures[1]);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Run({"capture", "--camera", "usb", "-o", Path("x.y4m")}), 1);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("--camera: iso or bulk"),
            std::string::npos);
}

TEST_F(Tool, AFormatTheStreamDoesNotOfferIsRefusedWithWhatItOffers) {
  struct Case {
    std::vector<std::string> args;
    const char* says;
  };
  const Case cases[] = {
      {{"--size", "200x100"}, "offers I420 320x240 30 fps"},
      {{"--size", "640x480", "--format", "iyuv"}, "I420 640x480 30 fps"},
      {{"--still"}, "still stream does not offer I420 320x240"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"capture"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.insert(args.end(), {"-o", Path("x.y4m")});
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Run(args), 1);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(c.says), std::string::npos) << err;
  }
}

}  // namespace
