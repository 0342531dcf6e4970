// AVI recording through the exported calls and the writer, with ffprobe and
// ffmpeg (Debian's ffmpeg) as the independent readers of the files.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "platform/host/vfw/avi_riff.h"
#include "platform/win32.h"
#include "sdk/api/avi_writer.h"
#include "tests/sdk_api/sdk_api_fixture.h"

namespace vk {
namespace {

using Bytes = std::vector<uint8_t>;

std::string Shell(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, n);
  pclose(pipe);
  return out;
}

bool HaveFfmpeg() { return !Shell("command -v ffprobe ffmpeg").empty(); }

// What ffprobe reads of the first video stream, counting the frames.
std::map<std::string, std::string> Probe(const std::string& path) {
  const std::string text = Shell(
      "ffprobe -v error -select_streams v:0 -count_frames -show_entries "
      "stream=codec_name,width,height,nb_frames,nb_read_frames,r_frame_rate "
      "-of default=nw=1 '" + path + "'");
  std::map<std::string, std::string> fields;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end - start);
    const size_t eq = line.find('=');
    if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
    start = end == std::string::npos ? text.size() : end + 1;
  }
  return fields;
}

// Frame `index` decoded to top-down RGB.
Bytes DecodeFrame(const std::string& path, int index) {
  const std::string text = Shell("ffmpeg -v error -i '" + path + "' -vf 'select=eq(n\\," +
                               std::to_string(index) +
                               ")' -frames:v 1 -f rawvideo -pix_fmt rgb24 -");
  return Bytes(text.begin(), text.end());
}

// A bottom-up DIB whose picture is red in its top half and blue below, with
// a white column at x = width / 4.
Bytes UprightTestImage(int width, int height) {
  const int stride = (width * 3 + 3) & ~3;
  Bytes dib(static_cast<size_t>(stride) * height, 0);
  for (int y = 0; y < height; ++y) {  // y counts from the top of the picture
    uint8_t* row = dib.data() + static_cast<size_t>(height - 1 - y) * stride;
    for (int x = 0; x < width; ++x) {
      uint8_t* p = row + x * 3;
      const bool top = y < height / 2;
      p[0] = top ? 0 : 220;    // blue
      p[1] = 0;                // green
      p[2] = top ? 220 : 0;    // red
      if (x == width / 4) p[0] = p[1] = p[2] = 255;
    }
  }
  return dib;
}

const uint8_t* Rgb(const Bytes& frame, int width, int x, int y) {
  return frame.data() + (static_cast<size_t>(y) * width + x) * 3;
}

class RecordingTest : public SdkApiTest {
 protected:
  void SetUp() override {
    SdkApiTest::SetUp();
    dir_ = ::testing::TempDir() + "vkcam_avi_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name() + "/";
    std::system(("rm -rf '" + dir_ + "' && mkdir -p '" + dir_ + "'").c_str());
  }
  std::string dir_;
};

TEST_F(RecordingTest, RateIsTheWholeFrameRateAtLeastFour) {
  EXPECT_EQ(sdk::RecordingRate(0.0f), 4);
  EXPECT_EQ(sdk::RecordingRate(4.9f), 4);
  EXPECT_EQ(sdk::RecordingRate(5.0f), 5);
  EXPECT_EQ(sdk::RecordingRate(25.3f), 25);
}

TEST_F(RecordingTest, QueryCodecListsTheInstalledCompressors) {
  host::TakeMessageBoxes();
  EXPECT_EQ(QueryCodec(), 1);
  const auto boxes = host::TakeMessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Xvid MPEG-4 Codec\nMotion JPEG\nFull Frames (Uncompressed)\n");
}

TEST_F(RecordingTest, StartAndStopTwice) {
  EXPECT_EQ(RecordAviStart(), 0) << "no camera";
  Open();
  SetVideoFilePathName((dir_ + "twice.avi").c_str());
  EXPECT_EQ(RecordAviStart(), 1);
  EXPECT_EQ(RecordAviStart(), 0);
  EXPECT_EQ(RecordAviStop(), 1);
  EXPECT_EQ(RecordAviStop(), 0);
  EXPECT_EQ(access((dir_ + "twice.avi").c_str(), F_OK), 0)
      << "a started recording has its file, however soon it stops";
}

// Images counted by CameraISP while the writer may still be opening: the
// newest of them is in the file when the stop returns, at the position its
// count gives, and a recording made while the capture is stopped (no frame
// rate measured) is stored at 4 frames/s.
TEST_F(RecordingTest, ImageCountedBeforeTheStopIsInTheFile) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  Open();
  const std::string path = dir_ + "counted.avi";
  SetVideoFilePathName(path.c_str());
  EXPECT_EQ(SetCodec("Full Frames (Uncompressed)"), 1);
  Bytes raw(640 * 480);
  for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<uint8_t>(i * 7 + i / 640);
  ASSERT_EQ(RecordAviStart(), 1);
  const uint8_t* image = nullptr;
  for (int i = 0; i < 3; ++i) image = CameraISP(raw.data());
  ASSERT_NE(image, nullptr);
  const Bytes processed(image, image + raw.size() * 3);
  EXPECT_EQ(RecordAviStop(), 1);
  auto probe = Probe(path);
  EXPECT_EQ(probe["codec_name"], "rawvideo");
  EXPECT_EQ(probe["nb_frames"], "4") << "positions 0 to 2 are empty";
  EXPECT_EQ(probe["r_frame_rate"], "4/1");
  // The last frame decoded (the empty positions decode to nothing).
  ASSERT_NE(probe["nb_read_frames"], "N/A");
  const Bytes frame = DecodeFrame(path, std::stoi(probe["nb_read_frames"]) - 1);
  ASSERT_EQ(frame.size(), processed.size());
  int wrong = 0;  // decoded top-down RGB against the bottom-up BGR image
  for (int y = 0; y < 480; ++y) {
    for (int x = 0; x < 640; ++x) {
      const uint8_t* bgr = processed.data() + (static_cast<size_t>(479 - y) * 640 + x) * 3;
      const uint8_t* rgb = Rgb(frame, 640, x, y);
      wrong += rgb[0] != bgr[2] || rgb[1] != bgr[1] || rgb[2] != bgr[0];
    }
  }
  EXPECT_EQ(wrong, 0);
}

TEST_F(RecordingTest, LiveRecordingWithXvidEndsAtStop) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffprobe is not installed";
  // Images that reach the recording: those CameraISP processes once
  // RecordAviStart has returned.
  static std::atomic<bool> recording{false};
  static std::atomic<int> recorded{0};
  recording = false;
  recorded = 0;
  Log().on_frame = [](uint8_t* raw) {
    const bool counted = recording.load();
    CameraISP(raw);
    if (counted) recorded.fetch_add(1);
  };
  Open();
  ASSERT_EQ(CameraPlay(), 1);
  ASSERT_TRUE(WaitForFrames(10));
  const std::string path = dir_ + "live.avi";
  SetVideoFilePathName(path.c_str());
  EXPECT_EQ(SetCodec("Xvid MPEG-4 Codec"), 1);
  EXPECT_TRUE(host::TakeMessageBoxes().empty());
  ASSERT_EQ(RecordAviStart(), 1);
  recording = true;
  ASSERT_TRUE(WaitUntil([] { return recorded.load() >= 20; }));
  EXPECT_EQ(CameraStop(), 1);
  EXPECT_EQ(RecordAviStop(), 0) << "the stop ended the recording";
  auto probe = Probe(path);
  EXPECT_EQ(probe["codec_name"], "mpeg4");
  EXPECT_EQ(probe["width"], "640");
  EXPECT_EQ(probe["height"], "480");
  // The last image counted before the stop is written at its count, and
  // every position before it is in the stream, written or empty.
  ASSERT_NE(probe["nb_frames"], "N/A");
  EXPECT_GE(std::stoi(probe["nb_frames"]), 20);
  // The rate is the one measured when the writer opened (at least 4); its
  // exact rule is checked above without a camera.
  const std::string rate = probe["r_frame_rate"];
  ASSERT_NE(rate.find("/1"), std::string::npos) << rate;
  EXPECT_GE(std::stoi(rate), 4);
}

TEST_F(RecordingTest, UnknownCodecSaysSoAndRecordsWithXvid) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffprobe is not installed";
  Log().on_frame = [](uint8_t* raw) { CameraISP(raw); };
  Open();
  SetCodec("Motion JPEG");
  host::TakeMessageBoxes();
  EXPECT_EQ(SetCodec("No Such Codec"), 1);
  const auto boxes = host::TakeMessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text,
            "\xC3\xBB\xD3\xD0\xD5\xD2\xB5\xBD\xB4\xCB" "Codec,"
            "\xB2\xC9\xD3\xC3\xC4\xAC\xC8\xCF\xD1\xB9\xCB\xF5\xB7\xBD\xB7\xA8" "Xvid!");
  const std::string path = dir_ + "default.avi";
  SetVideoFilePathName(path.c_str());
  ASSERT_EQ(CameraPlay(), 1);
  ASSERT_EQ(RecordAviStart(), 1);
  ASSERT_TRUE(WaitForFrames(5));
  EXPECT_EQ(RecordAviStop(), 1);
  EXPECT_EQ(Probe(path)["codec_name"], "mpeg4");
}

TEST_F(RecordingTest, WithoutImagesNothingIsWritten) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffprobe is not installed";
  Open();
  const std::string path = dir_ + "empty.avi";
  SetVideoFilePathName(path.c_str());
  ASSERT_EQ(RecordAviStart(), 1);
  EXPECT_EQ(RecordAviStop(), 1);
  auto probe = Probe(path);
  EXPECT_EQ(probe["codec_name"], "mpeg4");
  EXPECT_TRUE(probe["nb_read_frames"] == "0" || probe["nb_read_frames"] == "N/A");
}

TEST_F(RecordingTest, EveryCompressorPlaysUpright) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  const std::pair<FOURCC, const char*> codecs[] = {
      {mmioFOURCC('x', 'v', 'i', 'd'), "mpeg4"},
      {mmioFOURCC('M', 'J', 'P', 'G'), "mjpeg"},
      {mmioFOURCC('D', 'I', 'B', ' '), "rawvideo"}};
  // 322 x 3 bytes is not a multiple of four: rows are padded, not sheared.
  for (const int width : {320, 322}) {
    const int height = 240;
    const Bytes dib = UprightTestImage(width, height);
    for (const auto& [codec, name] : codecs) {
      const std::string path = dir_ + name + std::to_string(width) + ".avi";
      {
        sdk::CAviWriter writer(path, width, height, 25, codec);
        for (int position = 1; position <= 3; ++position)
          ASSERT_EQ(writer.Write(position, dib.data()), 1) << name;
      }
      auto probe = Probe(path);
      EXPECT_EQ(probe["codec_name"], name);
      EXPECT_EQ(probe["width"], std::to_string(width));
      EXPECT_EQ(probe["r_frame_rate"], "25/1");
      EXPECT_EQ(probe["nb_frames"], "4") << "position 0 is an empty frame";
      const Bytes frame = DecodeFrame(path, 1);
      ASSERT_EQ(frame.size(), static_cast<size_t>(width) * height * 3) << name;
      EXPECT_GT(Rgb(frame, width, 10, 10)[0], 180) << name << ": red on top";
      EXPECT_LT(Rgb(frame, width, 10, 10)[2], 40) << name;
      EXPECT_GT(Rgb(frame, width, 10, height - 10)[2], 180) << name << ": blue below";
      for (int y : {20, height - 20})  // the white column stays straight
        EXPECT_GT(Rgb(frame, width, width / 4, y)[1], 150) << name << " row " << y;
    }
  }
}

TEST_F(RecordingTest, PastTheRiffLimitTheFileGoesOnInOpenDml) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffprobe is not installed";
  const std::string path = dir_ + "opendml.avi";
  const int width = 64, height = 48;
  const Bytes dib = UprightTestImage(width, height);
  FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  {
    vfw::AviRiffWriter riff(file, 64 * 1024);  // a RIFF every seven frames
    vfw::AviStreamHeader header;
    header.rate = 10;
    header.width = width;
    header.height = height;
    header.format = {sizeof(BITMAPINFOHEADER), width, height, 1, 24, 0,
                     static_cast<DWORD>(dib.size()), 0, 0, 0, 0};
    header.chunk_id = mmioFOURCC('0', '0', 'd', 'b');
    riff.SetStream(header);
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(riff.WriteFrame(dib.data(), dib.size(), true));
    ASSERT_TRUE(riff.Finish());
  }
  std::fclose(file);
  auto probe = Probe(path);
  EXPECT_EQ(probe["nb_frames"], "40");
  EXPECT_EQ(probe["nb_read_frames"], "40");
  EXPECT_NE(Shell("grep -c AVIX '" + path + "'"), "0\n");
}

}  // namespace
}  // namespace vk
