#include <atomic>
#include <cstring>
#include <vector>

#include "platform/win32.h"
#include "tests/sdk_api/sdk_api_fixture.h"

namespace vk {
namespace {

constexpr int kWidth = 640, kHeight = 480;
constexpr size_t kRawBytes = kWidth * kHeight;
constexpr size_t kRgbBytes = kRawBytes * 3;

// Stamps each frame's number into its first four samples.
void NumberFrames(sim::Camera& camera) {
  camera.SetFrameGenerator([](const sim::FrameInfo& f, uint8_t* out) {
    std::memset(out, 60, f.geometry.bytes());
    const auto n = static_cast<uint32_t>(f.number);
    std::memcpy(out, &n, sizeof(n));
  });
}

uint32_t FrameNumber(const uint8_t* raw) {
  uint32_t n = 0;
  std::memcpy(&n, raw, sizeof(n));
  return n;
}

void StopSending(sim::Camera& camera) {
  sim::SetupPacket stop{0x40, VR_STREAM_CONTROL, 0, kStreamControlIndex, 0};
  camera.Control(stop, nullptr);
}

TEST_F(SdkApiTest, CallsBeforeInit) {
  int32_t width = -7, height = -7;
  EXPECT_EQ(CameraGetImageSize(&width, &height), 0);
  EXPECT_EQ(width, -7);
  EXPECT_EQ(height, -7);
  EXPECT_EQ(CameraStop(), 0);
  EXPECT_EQ(CameraPlay(), 0);
  float fps = 5.0f;
  EXPECT_EQ(CameraGetFPS(&fps), 0);
  EXPECT_EQ(fps, 0.0f);
  EXPECT_EQ(CameraISP(nullptr), nullptr);
  EXPECT_EQ(CameraSetVideoMessage(0x8001), 1);
  EXPECT_EQ(CameraUnInit(), 1);
}

TEST_F(SdkApiTest, CameraNumberOutOfRangeLeavesNoCamera) {
  EXPECT_EQ(CameraInit(&CountingCallback, 2, nullptr, 0, nullptr), -1);
  EXPECT_EQ(CameraInit(&CountingCallback, 2, nullptr, 2, nullptr), -1);
  int32_t width = 0, height = 0;
  EXPECT_EQ(CameraGetImageSize(&width, &height), 0);
  EXPECT_EQ(CameraPlay(), 0);
}

TEST_F(SdkApiTest, NoCamerasCountsZero) {
  UnplugAll();
  uint8_t count = 9, zero = 9;
  EXPECT_EQ(CameraGetMultiCameraNumber(&count, nullptr, &zero), 1);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(zero, 0);
  EXPECT_EQ(CameraInit(&CountingCallback, 2, nullptr, 1, nullptr), -1);
}

TEST_F(SdkApiTest, CountingDoesNotDisturbTheOpenCamera) {
  Open();
  ASSERT_EQ(CameraPlay(), 1);
  ASSERT_TRUE(WaitForFrames(2));
  uint8_t count = 0, zero = 9;
  EXPECT_EQ(CameraGetMultiCameraNumber(&count, nullptr, &zero), 1);
  EXPECT_EQ(count, 1);
  EXPECT_TRUE(WaitForFrames(3));
}

TEST_F(SdkApiTest, PlayAndStopTwice) {
  Open();
  int32_t width = 0, height = 0;
  EXPECT_EQ(CameraGetImageSize(&width, &height), 1);
  EXPECT_EQ(width, kWidth);
  EXPECT_EQ(height, kHeight);
  EXPECT_EQ(CameraPlay(), 1);
  EXPECT_EQ(CameraPlay(), 0);
  EXPECT_TRUE(WaitForFrames(5));
  float fps = 0;
  EXPECT_EQ(CameraGetFPS(&fps), 1);
  EXPECT_GT(fps, 0.0f);
  EXPECT_EQ(CameraStop(), 1);
  EXPECT_EQ(CameraStop(), 0);
  EXPECT_EQ(CameraGetFPS(&fps), 0);
  EXPECT_EQ(fps, 0.0f);
  // Stopped means stopped: no frame arrives any more.
  const int frames = Log().frames.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(Log().frames.load(), frames);
}

TEST_F(SdkApiTest, EachFrameIsPostedWithTheMessageNumber) {
  HWND window = host::CreateMessageWindow();
  CameraSetVideoMessage(0x8123);
  Open(CAMERA_RESOLUTION_640X480, nullptr, window);
  ASSERT_EQ(CameraPlay(), 1);
  ASSERT_TRUE(WaitForFrames(3));
  CameraStop();
  const std::vector<MSG> posted = host::TakePostedMessages(window);
  ASSERT_GE(posted.size(), 3u);
  for (const MSG& m : posted) {
    EXPECT_EQ(m.message, 0x8123u);
    EXPECT_EQ(m.wParam, 0u);
    EXPECT_EQ(m.lParam, 1);
  }
}

// The consumer holds each frame until the grab thread has posted three
// more publications (the first may still be the held frame's own), so the
// next frame it gets is at least two ahead.
TEST_F(SdkApiTest, SlowConsumerGetsOnlyTheNewestFramesAndNoneTwice) {
  NumberFrames(Camera());
  HWND window = host::CreateMessageWindow();
  std::vector<uint32_t> seen;
  std::atomic<bool> stopping{false};
  Log().on_frame = [&](uint8_t* raw) {
    if (stopping.load()) return;  // taken after a wait the stop cut short
    seen.push_back(FrameNumber(raw));
    host::TakePostedMessages(window);
    int published = 0;
    WaitUntil([&] {
      for (const MSG& m : host::TakePostedMessages(window)) published += m.lParam == 1;
      return published >= 3 || stopping.load();
    });
  };
  Open(CAMERA_RESOLUTION_640X480, nullptr, window);
  ASSERT_EQ(CameraPlay(), 1);
  ASSERT_TRUE(WaitForFrames(8));
  stopping = true;
  CameraStop();
  ASSERT_GE(seen.size(), 8u);
  for (size_t i = 1; i < seen.size(); ++i)
    EXPECT_GE(seen[i], seen[i - 1] + 2) << "frame " << i;
}

// Waits until the grab thread posted the end of the camera (-1) to
// `window`; the messages posted on the way are in `posted`.
bool WaitForTheEnd(HWND window, std::vector<MSG>* posted) {
  return WaitUntil([&] {
    for (const MSG& m : host::TakePostedMessages(window)) posted->push_back(m);
    return !posted->empty() && posted->back().lParam == -1;
  });
}

TEST_F(SdkApiTest, ElevenReadFailuresEndTheGrabThread) {
  HWND window = host::CreateMessageWindow();
  Open(CAMERA_RESOLUTION_640X480, nullptr, window);
  ASSERT_EQ(CameraPlay(), 1);
  ASSERT_TRUE(WaitForFrames(2));
  UnplugAll();
  std::vector<MSG> posted;
  ASSERT_TRUE(WaitForTheEnd(window, &posted));
  EXPECT_EQ(CameraStop(), 1);
  EXPECT_TRUE(host::TakePostedMessages(window).empty());
}

// Failures are counted from the start of the capture: good frames between
// them do not give the camera eleven new chances.
TEST_F(SdkApiTest, ReadFailuresCountFromThePlayNotFromTheLastGoodFrame) {
  HWND window = host::CreateMessageWindow();
  Open(CAMERA_RESOLUTION_640X480, nullptr, window);
  ASSERT_EQ(CameraPlay(), 1);
  ASSERT_TRUE(WaitForFrames(2));
  // Four stalled transfers fail one or two frame reads; then frames flow.
  Camera().HaltImageEndpointFor(4);
  ASSERT_TRUE(WaitUntil([&] { return Camera().StalledTransfers() >= 4; }));
  ASSERT_TRUE(WaitForFrames(2)) << "at least one of them read after the stalls";
  const uint64_t before = Camera().StalledTransfers();
  Camera().HaltEndpoint(sim::kImageEndpoint);
  std::vector<MSG> posted;
  ASSERT_TRUE(WaitForTheEnd(window, &posted));
  // A failed read of a 640 x 480 frame stalls at most its four transfers:
  // ten failures at most stall 40, eleven at least 41.
  EXPECT_LE(Camera().StalledTransfers() - before, 40u);
  EXPECT_EQ(CameraStop(), 1);
}

TEST_F(SdkApiTest, StopReturnsWhenTheCameraStopsSending) {
  Open();
  ASSERT_EQ(CameraPlay(), 1);
  ASSERT_TRUE(WaitForFrames(2));
  StopSending(Camera());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(CameraStop(), 1);
  EXPECT_EQ(CameraUnInit(), 1);
}

TEST_F(SdkApiTest, UnInitAndInitWhilePlayingStopFirst) {
  Open();
  ASSERT_EQ(CameraPlay(), 1);
  ASSERT_TRUE(WaitForFrames(2));
  Open(CAMERA_RESOLUTION_1024X768);  // tears the playing camera down
  EXPECT_EQ(CameraPlay(), 1);
  EXPECT_TRUE(WaitForFrames(2));
  EXPECT_EQ(CameraUnInit(), 1);
  EXPECT_EQ(CameraStop(), 0);
}

TEST_F(SdkApiTest, SnapModesAndTheResumedCapture) {
  NumberFrames(Camera());
  Open();
  ASSERT_EQ(CameraPlay(), 1);
  ASSERT_TRUE(WaitForFrames(2));
  std::vector<uint8_t> buffer(kRgbBytes, 0xEE);
  EXPECT_EQ(CameraSnap(buffer.data(), 2), 1);
  EXPECT_EQ(buffer, std::vector<uint8_t>(kRgbBytes, 0xEE));
  EXPECT_EQ(CameraPlay(), 0) << "the capture was resumed";
  EXPECT_TRUE(WaitForFrames(2));

  EXPECT_EQ(CameraSnap(buffer.data(), 0), 1);
  EXPECT_GT(FrameNumber(buffer.data()), 0u);
  EXPECT_EQ(buffer[100], 60);
  EXPECT_EQ(CameraSnap(buffer.data(), 1), 1);
  EXPECT_NE(buffer[kRgbBytes - 1], 0xEE);
  EXPECT_TRUE(WaitForFrames(2));

  CameraStop();
  EXPECT_EQ(CameraSnap(buffer.data(), 0), 1);
  EXPECT_EQ(CameraPlay(), 1) << "a stopped capture stays stopped";
}

TEST_F(SdkApiTest, GrabAndCaptureToBufferTakeTheLastFrameHandedOut) {
  NumberFrames(Camera());
  uint32_t last = 0;
  Log().on_frame = [&](uint8_t* raw) { last = FrameNumber(raw); };
  Open();
  std::vector<uint8_t> rgb(kRgbBytes, 0xEE);
  EXPECT_EQ(CameraGrabFrame(rgb.data()), 0);
  EXPECT_EQ(rgb, std::vector<uint8_t>(kRgbBytes, 0xEE));
  ASSERT_EQ(CameraPlay(), 1);
  ASSERT_TRUE(WaitForFrames(3));
  EXPECT_EQ(CameraGrabFrame(rgb.data()), 1);
  EXPECT_NE(rgb, std::vector<uint8_t>(kRgbBytes, 0xEE));
  CameraStop();
  std::vector<uint8_t> raw(kRawBytes);
  EXPECT_EQ(CameraCaptureToBuf(raw.data(), 0), 1);
  EXPECT_EQ(FrameNumber(raw.data()), last);
  EXPECT_EQ(CameraCaptureToBuf(raw.data(), 7), 1);
}

TEST_F(SdkApiTest, IspAndImageProcessAgree) {
  Open();
  CameraSetAeState(0);
  std::vector<uint8_t> raw(kRawBytes), raw_copy, rgb(kRgbBytes);
  for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<uint8_t>(i * 7);
  raw_copy = raw;
  uint8_t* own = CameraISP(raw.data());
  ASSERT_NE(own, nullptr);
  EXPECT_EQ(CameraImageProcess(raw_copy.data(), rgb.data()), 1);
  EXPECT_EQ(0, std::memcmp(own, rgb.data(), kRgbBytes));
}

TEST_F(SdkApiTest, InitDeadPixelWhilePlayingResumesTheCapture) {
  Camera().SetFrameGenerator([](const sim::FrameInfo& f, uint8_t* out) {
    std::memset(out, 10, f.geometry.bytes());
    out[f.geometry.width * 100 + 200] = 255;
  });
  Open();
  ASSERT_EQ(CameraPlay(), 1);
  ASSERT_TRUE(WaitForFrames(2));
  EXPECT_EQ(CameraInitDeadPixel(), 1);
  EXPECT_EQ(CameraPlay(), 0);
  EXPECT_TRUE(WaitForFrames(2));
}

}  // namespace
}  // namespace vk
