// CameraInit when one of its frame buffers cannot be allocated: -2, and
// every call that would use the buffers refuses instead of touching one.
// The program replaces the nothrow array allocation, through which the SDK
// takes its buffers, to fail the allocation a test names. Sanitizer builds
// bring their own allocator and leave this program out.
#include <atomic>
#include <cstdlib>
#include <new>
#include <ostream>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "tests/sdk_api/sdk_api_fixture.h"

namespace {

// The allocation to fail: the `nth` (from 1) of `bytes` bytes after arming.
std::atomic<size_t> fail_bytes{0};
std::atomic<int> fail_countdown{0};
std::atomic<bool> failed{false};

void FailAllocation(size_t bytes, int nth) {
  failed = false;
  fail_countdown = nth;
  fail_bytes = bytes;
}

}  // namespace

void* operator new[](std::size_t bytes, const std::nothrow_t&) noexcept {
  if (bytes == fail_bytes.load() && fail_countdown.fetch_sub(1) == 1) {
    fail_bytes = 0;
    failed = true;
    return nullptr;
  }
  return std::malloc(bytes == 0 ? 1 : bytes);
}

namespace vk {
namespace {

constexpr int kWidth = 640, kHeight = 480;
constexpr size_t kPixels = static_cast<size_t>(kWidth) * kHeight;
constexpr size_t kRawBufferBytes = kPixels * 2 + 512;
constexpr size_t kRecordingBufferBytes = kPixels * 3 + 512;

struct FailedBuffer {
  const char* name;
  size_t bytes;
  int nth;
};

void PrintTo(const FailedBuffer& f, std::ostream* os) { *os << f.name; }

class FailedBufferTest : public SdkApiTest,
                         public ::testing::WithParamInterface<FailedBuffer> {};

TEST_P(FailedBufferTest, InitSaysOutOfMemoryAndNothingTouchesAMissingBuffer) {
  const FailedBuffer& f = GetParam();
  FailAllocation(f.bytes, f.nth);
  ASSERT_EQ(CameraInit(&CountingCallback, CAMERA_RESOLUTION_640X480, nullptr, 1,
                       nullptr),
            -2);
  ASSERT_TRUE(failed.load()) << f.name << " was not allocated by CameraInit";

  EXPECT_EQ(CameraPlay(), 0);
  EXPECT_EQ(CameraInitDeadPixel(), 0);
  EXPECT_EQ(CameraSaveCurrentImage(
                (::testing::TempDir() + "vkcam_alloc").c_str(), 0x0F, 90),
            0);
  std::vector<uint8_t> buffer(kPixels * 3, 0xEE);
  EXPECT_EQ(CameraCaptureToBuf(buffer.data(), 0), 0);
  EXPECT_EQ(CameraCaptureToBuf(buffer.data(), 1), 0);
  EXPECT_EQ(buffer, std::vector<uint8_t>(kPixels * 3, 0xEE));
  EXPECT_EQ(CameraGrabFrame(buffer.data()), 0);
  EXPECT_EQ(RecordAviStart(), 0);
  EXPECT_EQ(Log().frames.load(), 0);
  // The camera itself stays usable for what needs no frame buffer.
  int32_t width = 0, height = 0;
  EXPECT_EQ(CameraGetImageSize(&width, &height), 1);
  EXPECT_EQ(width, kWidth);
  EXPECT_NE(CameraISP(buffer.data()), nullptr);

  // The next CameraInit gets all its buffers and plays.
  EXPECT_EQ(CameraUnInit(), 1);
  ASSERT_EQ(CameraInit(&CountingCallback, CAMERA_RESOLUTION_640X480, nullptr, 1,
                       nullptr),
            1);
  ASSERT_EQ(CameraPlay(), 1);
  EXPECT_TRUE(WaitForFrames(2));
  EXPECT_EQ(CameraStop(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    EachOfCameraInitsAllocations, FailedBufferTest,
    ::testing::Values(FailedBuffer{"the grab buffer", kRawBufferBytes, 1},
                      FailedBuffer{"the latest buffer", kRawBufferBytes, 2},
                      FailedBuffer{"the process buffer", kRawBufferBytes, 3},
                      FailedBuffer{"the last-raw buffer", kRawBufferBytes, 4},
                      FailedBuffer{"the recording buffer",
                                   kRecordingBufferBytes, 1}),
    [](const ::testing::TestParamInfo<FailedBuffer>& info) {
      std::string name = info.param.name + 4;  // without "the "
      for (char& c : name)
        if (c == ' ' || c == '-') c = '_';
      return name;
    });

}  // namespace
}  // namespace vk
