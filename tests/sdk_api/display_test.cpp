#include <vector>

#include "platform/win32.h"
#include "tests/sdk_api/sdk_api_fixture.h"

namespace vk {
namespace {

constexpr int kWidth = 640, kHeight = 480;

// An RGB24 image whose pixel (x, y) of the picture (y from the top) holds
// blue x / 4, green y / 2, red 7; stored bottom row first.
std::vector<uint8_t> Gradient() {
  std::vector<uint8_t> image(kWidth * kHeight * 3);
  for (int y = 0; y < kHeight; ++y) {
    uint8_t* row = image.data() + (kHeight - 1 - y) * kWidth * 3;
    for (int x = 0; x < kWidth; ++x) {
      row[x * 3] = static_cast<uint8_t>(x / 4);
      row[x * 3 + 1] = static_cast<uint8_t>(y / 2);
      row[x * 3 + 2] = 7;
    }
  }
  return image;
}

const uint8_t* PixelAt(const host::WindowPicture& p, int x, int y) {
  return p.bgr.data() + (static_cast<size_t>(y) * p.width + x) * 3;
}

TEST_F(SdkApiTest, WholeImageScaledToTheClientArea) {
  HWND preview = host::CreatePictureWindow(320, 240);
  Open(CAMERA_RESOLUTION_640X480, preview);
  std::vector<uint8_t> image = Gradient();
  CameraDisplayRGB24(image.data());
  const host::WindowPicture p = host::PictureOf(preview);
  ASSERT_EQ(p.draws, 1u);
  // Half size: client (x, y) shows picture (2x, 2y), top row at the top.
  EXPECT_EQ(PixelAt(p, 0, 0)[0], 0);
  EXPECT_EQ(PixelAt(p, 0, 0)[1], 0);
  EXPECT_EQ(PixelAt(p, 100, 50)[0], 200 / 4);
  EXPECT_EQ(PixelAt(p, 100, 50)[1], 100 / 2);
  EXPECT_EQ(PixelAt(p, 319, 239)[2], 7);
}

TEST_F(SdkApiTest, DisplayWindowSelectsThePartDrawn) {
  HWND preview = host::CreatePictureWindow(100, 100);
  Open(CAMERA_RESOLUTION_640X480, preview);
  ASSERT_EQ(CameraSetDisplayWindow(400, 200, 100, 100), 1);
  std::vector<uint8_t> image = Gradient();
  CameraDisplayRGB24(image.data());
  host::WindowPicture p = host::PictureOf(preview);
  EXPECT_EQ(PixelAt(p, 0, 0)[0], 400 / 4);
  EXPECT_EQ(PixelAt(p, 0, 0)[1], 200 / 2);
  EXPECT_EQ(PixelAt(p, 99, 99)[0], 499 / 4);
  EXPECT_EQ(PixelAt(p, 99, 99)[1], 299 / 2);

  // A larger client area: only the destination grows.
  host::SetClientSize(preview, 200, 200);
  CameraDisplayRGB24(image.data());
  p = host::PictureOf(preview);
  EXPECT_EQ(p.width, 200);
  EXPECT_EQ(PixelAt(p, 199, 199)[0], 499 / 4);
  EXPECT_EQ(PixelAt(p, 2, 2)[0], 401 / 4);
}

TEST_F(SdkApiTest, WithoutPreviewWindowNothingIsDrawn) {
  Open();
  std::vector<uint8_t> image = Gradient();
  CameraDisplayRGB24(image.data());  // nothing to draw into, nothing fails
  EXPECT_EQ(CameraSetDisplayWindow(0, 0, 640, 480), 1);
}

TEST_F(SdkApiTest, LivePreviewThroughTheCallback) {
  Log().on_frame = [](uint8_t* raw) { CameraDisplayRGB24(CameraISP(raw)); };
  HWND preview = host::CreatePictureWindow(64, 48);
  Open(CAMERA_RESOLUTION_640X480, preview);
  ASSERT_EQ(CameraPlay(), 1);
  ASSERT_TRUE(WaitForFrames(3));
  CameraStop();
  const host::WindowPicture p = host::PictureOf(preview);
  EXPECT_GE(p.draws, 3u);
  int lit = 0;
  for (uint8_t v : p.bgr) lit += v > 0;
  EXPECT_GT(lit, 64 * 48) << "the scene reached the window";
}

}  // namespace
}  // namespace vk
