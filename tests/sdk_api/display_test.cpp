#include <vector>

#include "platform/win32.h"
#include "tests/sdk_api/sdk_api_fixture.h"

namespace vk {
namespace {

constexpr int kWidth = 640, kHeight = 480;

// An RGB24 image whose pixel (x, y) of the picture (y from the top) holds
// blue x / 4, green y / 2, red 7; stored bottom row first, rows unpadded.
std::vector<uint8_t> Gradient(int width = kWidth, int height = kHeight) {
  std::vector<uint8_t> image(static_cast<size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y) {
    uint8_t* row = image.data() + static_cast<size_t>(height - 1 - y) * width * 3;
    for (int x = 0; x < width; ++x) {
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

TEST_F(SdkApiTest, RefusedDisplayWindowKeepsThePreviousOne) {
  HWND preview = host::CreatePictureWindow(100, 100);
  Open(CAMERA_RESOLUTION_640X480, preview);
  ASSERT_EQ(CameraSetDisplayWindow(400, 200, 100, 100), 1);
  EXPECT_EQ(CameraSetDisplayWindow(kWidth + 1, 0, 0, 0), 0);
  EXPECT_EQ(CameraSetDisplayWindow(0, 0, kWidth, kHeight + 1), 0);
  std::vector<uint8_t> image = Gradient();
  CameraDisplayRGB24(image.data());
  const host::WindowPicture p = host::PictureOf(preview);
  EXPECT_EQ(PixelAt(p, 0, 0)[0], 400 / 4);
  EXPECT_EQ(PixelAt(p, 0, 0)[1], 200 / 2);
  EXPECT_EQ(PixelAt(p, 99, 99)[0], 499 / 4);
}

// Regions whose rows are not a multiple of four bytes long: the picture is
// drawn unsheared and nothing beyond the caller's image is read (an
// address-sanitizer build reports any read past the vector).
TEST_F(SdkApiTest, RegionWithUnalignedRowsIsDrawnUnsheared) {
  for (const int width : {642, 641, 643}) {
    SCOPED_TRACE(width);
    constexpr int kRegionHeight = 480;
    HWND preview = host::CreatePictureWindow(width, kRegionHeight);
    ASSERT_EQ(CameraSetROI(0, 0, width, kRegionHeight), 1);
    Open(CAMERA_RESOLUTION_ROI, preview);
    int32_t w = 0, h = 0;
    ASSERT_EQ(CameraGetImageSize(&w, &h), 1);
    ASSERT_EQ(w, width);
    ASSERT_EQ(h, kRegionHeight);
    std::vector<uint8_t> image = Gradient(width, kRegionHeight);
    CameraDisplayRGB24(image.data());
    const host::WindowPicture p = host::PictureOf(preview);
    ASSERT_EQ(p.width, width);
    int wrong = 0;
    for (int y = 0; y < kRegionHeight; ++y) {
      for (int x = 0; x < width; ++x) {
        const uint8_t* px = PixelAt(p, x, y);
        wrong += px[0] != x / 4 || px[1] != y / 2 || px[2] != 7;
      }
    }
    EXPECT_EQ(wrong, 0);
    CameraUnInit();
  }
  CameraSetROI(360, 272, 640, 480);
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
