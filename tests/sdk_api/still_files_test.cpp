// Still files through the exported calls, read back by libjpeg and libpng
// as independent readers.
#include <png.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// clang-format off
#include <jpeglib.h>
// clang-format on

#include "platform/win32.h"
#include "sdk/api/still_writers.h"
#include "tests/sdk_api/sdk_api_fixture.h"

namespace vk {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// A smooth, fixed scene, so that a frame read later equals one read now.
void SmoothFrames(sim::Camera& camera) {
  camera.SetFrameGenerator([](const sim::FrameInfo& f, uint8_t* out) {
    const int w = f.geometry.width;
    for (int y = 0; y < f.geometry.height; ++y)
      for (int x = 0; x < w; ++x)
        out[y * w + x] = static_cast<uint8_t>(40 + (x * 150) / w + (y * 50) / f.geometry.height);
  });
}

// Top-down RGB rows of a bottom-up BGR image.
Bytes TopDownRgb(const uint8_t* image, int width, int height) {
  Bytes rgb(static_cast<size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < 3; ++c)
        rgb[(static_cast<size_t>(y) * width + x) * 3 + c] =
            image[(static_cast<size_t>(height - 1 - y) * width + x) * 3 + 2 - c];
  return rgb;
}

Bytes DecodeJpeg(const std::string& path, int* width, int* height) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return {};
  jpeg_decompress_struct d;
  jpeg_error_mgr errors;
  d.err = jpeg_std_error(&errors);
  jpeg_create_decompress(&d);
  jpeg_stdio_src(&d, f);
  jpeg_read_header(&d, TRUE);
  jpeg_start_decompress(&d);
  *width = static_cast<int>(d.output_width);
  *height = static_cast<int>(d.output_height);
  Bytes out(static_cast<size_t>(*width) * *height * 3);
  while (d.output_scanline < d.output_height) {
    JSAMPROW row = out.data() + static_cast<size_t>(d.output_scanline) * *width * 3;
    jpeg_read_scanlines(&d, &row, 1);
  }
  jpeg_finish_decompress(&d);
  jpeg_destroy_decompress(&d);
  std::fclose(f);
  return out;
}

Bytes DecodePng(const std::string& path, int* width, int* height) {
  png_image image = {};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return {};
  image.format = PNG_FORMAT_RGB;
  Bytes out(PNG_IMAGE_SIZE(image));
  png_image_finish_read(&image, nullptr, out.data(), 0, nullptr);
  *width = static_cast<int>(image.width);
  *height = static_cast<int>(image.height);
  return out;
}

double MeanDifference(const Bytes& a, const Bytes& b) {
  if (a.size() != b.size() || a.empty()) return 1e9;
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += std::abs(int(a[i]) - int(b[i]));
  return sum / a.size();
}

class StillFilesTest : public SdkApiTest {
 protected:
  void SetUp() override {
    SdkApiTest::SetUp();
    dir_ = ::testing::TempDir() + "vkcam_stills_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name() + "/";
    std::system(("rm -rf '" + dir_ + "' && mkdir -p '" + dir_ + "'").c_str());
    SmoothFrames(Camera());
  }
  std::string Base(const char* name = "still") { return dir_ + name; }

  void OpenPlaying(int resolution = CAMERA_RESOLUTION_640X480) {
    Open(resolution);
    CameraSetAeState(0);
    ASSERT_EQ(CameraPlay(), 1);
    ASSERT_TRUE(WaitForFrames(2));
  }

  // What the pipeline makes of the RAW file beside the picture.
  Bytes PipelineOf(const std::string& raw_path) {
    Bytes raw = ReadAll(raw_path);
    Bytes rgb(raw.size() * 3);
    EXPECT_EQ(CameraImageProcess(raw.data(), rgb.data()), 1);
    return rgb;
  }

  std::string dir_;
};

TEST_F(StillFilesTest, CaptureWhileStoppedSaysSoAndWritesNothing) {
  Open();
  EXPECT_EQ(CameraCaptureFile(Base().c_str(), 15, 80, 2), 0);
  const auto boxes = host::TakeMessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Camera is closed!\r\nPlease Open it.");
  EXPECT_FALSE(Exists(Base() + ".raw"));
  EXPECT_FALSE(Exists(Base() + ".bmp"));
}

TEST_F(StillFilesTest, NoFormatBitsReadAFrameAndWriteNothing) {
  OpenPlaying();
  EXPECT_EQ(CameraCaptureFile(Base().c_str(), 0, 80, 2), 1);
  for (const char* ext : {".raw", ".jpg", ".bmp", ".png"}) EXPECT_FALSE(Exists(Base() + ext));
  EXPECT_EQ(CameraPlay(), 0) << "playing again";
}

TEST_F(StillFilesTest, AllFourFormatsShowTheSamePicture) {
  OpenPlaying();
  ASSERT_EQ(CameraCaptureFile(Base().c_str(), 15, 95, 2), 1);
  const Bytes raw = ReadAll(Base() + ".raw");
  ASSERT_EQ(raw.size(), 640u * 480u);
  CameraStop();
  const Bytes rgb = PipelineOf(Base() + ".raw");

  const Bytes bmp = ReadAll(Base() + ".bmp");
  ASSERT_EQ(bmp.size(), 921654u);
  const uint8_t header[] = {'B', 'M', 0x36, 0x10, 0x0E, 0, 0, 0, 0, 0, 54, 0, 0, 0,
                            40, 0, 0, 0, 0x80, 2, 0, 0, 0xE0, 1, 0, 0, 1, 0, 24, 0};
  EXPECT_TRUE(std::equal(std::begin(header), std::end(header), bmp.begin()));
  EXPECT_TRUE(std::all_of(bmp.begin() + 30, bmp.begin() + 54, [](uint8_t b) { return b == 0; }));
  EXPECT_TRUE(std::equal(rgb.begin(), rgb.end(), bmp.begin() + 54));

  int w = 0, h = 0;
  const Bytes png = DecodePng(Base() + ".png", &w, &h);
  EXPECT_EQ(w, 640);
  EXPECT_EQ(h, 480);
  EXPECT_EQ(png, TopDownRgb(rgb.data(), 640, 480));

  const Bytes jpeg = DecodeJpeg(Base() + ".jpg", &w, &h);
  EXPECT_EQ(w, 640);
  EXPECT_EQ(h, 480);
  EXPECT_LT(MeanDifference(jpeg, TopDownRgb(rgb.data(), 640, 480)), 2.0);
}

TEST_F(StillFilesTest, RawOnlyIsTheFrameAsRead) {
  OpenPlaying();
  ASSERT_EQ(CameraCaptureFile(Base().c_str(), 4, 80, 2), 1);
  const Bytes raw = ReadAll(Base() + ".raw");
  ASSERT_EQ(raw.size(), 640u * 480u);
  EXPECT_EQ(raw[0], 40);
  EXPECT_EQ(raw[639], 40 + 639 * 150 / 640);
}

TEST_F(StillFilesTest, QualityIsClampedToOneAndHundred) {
  Bytes image(64 * 48 * 3);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 31);
  const std::string q[] = {Base("q0.jpg"), Base("q1.jpg"), Base("q255.jpg"), Base("q100.jpg")};
  EXPECT_EQ(sdk::WriteJpegFile(q[0].c_str(), image.data(), 64, 48, 0), 1);
  EXPECT_EQ(sdk::WriteJpegFile(q[1].c_str(), image.data(), 64, 48, 1), 1);
  EXPECT_EQ(sdk::WriteJpegFile(q[2].c_str(), image.data(), 64, 48, 255), 1);
  EXPECT_EQ(sdk::WriteJpegFile(q[3].c_str(), image.data(), 64, 48, 100), 1);
  EXPECT_EQ(ReadAll(q[0]), ReadAll(q[1]));
  EXPECT_EQ(ReadAll(q[2]), ReadAll(q[3]));
  EXPECT_NE(ReadAll(q[1]), ReadAll(q[3]));
}

TEST_F(StillFilesTest, MissingDirectoryFailsEachFormatInItsWords) {
  OpenPlaying();
  const std::string base = dir_ + "no/such/dir/still";
  host::TakeMessageBoxes();
  EXPECT_EQ(CameraCaptureFile(base.c_str(), 7, 80, 2), -6);
  auto boxes = host::TakeMessageBoxes();
  ASSERT_EQ(boxes.size(), 4u);
  EXPECT_EQ(boxes[0].text, "can't create file");
  EXPECT_EQ(boxes[1].text, "JpegFile :\nCan't open " + base + ".jpg\n");
  EXPECT_EQ(boxes[2].text, "Write Error");
  EXPECT_EQ(boxes[3].text, "can't create file");
  EXPECT_EQ(CameraCaptureFile(base.c_str(), 5, 80, 2), 0) << "JPEG came last";
  testing::internal::CaptureStderr();
  EXPECT_EQ(CameraCaptureFile(base.c_str(), 8, 80, 2), 1) << "PNG never counts";
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[write_png_file] File " + base + ".png could not be opened for writing\n");
}

TEST_F(StillFilesTest, FullDiskIsAFailure) {
  Bytes image(64 * 48 * 3, 99);
  for (const char* ext : {".raw", ".bmp", ".jpg", ".png"})
    ASSERT_EQ(symlink("/dev/full", (Base() + ext).c_str()), 0);
  host::TakeMessageBoxes();
  EXPECT_EQ(sdk::WriteRawFile((Base() + ".raw").c_str(), image.data(), 64, 48), -6);
  EXPECT_EQ(sdk::WriteBmpFile((Base() + ".bmp").c_str(), image.data(), 64, 48), -6);
  EXPECT_EQ(sdk::WriteJpegFile((Base() + ".jpg").c_str(), image.data(), 64, 48, 80), 0);
  for (const auto& box : host::TakeMessageBoxes()) EXPECT_EQ(box.text, "Write Error");
  testing::internal::CaptureStderr();
  sdk::CPngWriter png;
  EXPECT_FALSE(png.Write((Base() + ".png").c_str(), image.data(), 64, 48));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("[write_png_file] Error during"),
            std::string::npos);
}

TEST_F(StillFilesTest, SaveCurrentImageIgnoresPngAndPlaysAfterwards) {
  Open();
  EXPECT_EQ(CameraSaveCurrentImage(Base().c_str(), 8, 80), 1);
  EXPECT_FALSE(Exists(Base() + ".png"));
  EXPECT_EQ(CameraPlay(), 0) << "playing although it was stopped";
  ASSERT_TRUE(WaitForFrames(2));
  EXPECT_EQ(CameraSaveCurrentImage(Base().c_str(), 6, 80), 1);
  EXPECT_EQ(ReadAll(Base() + ".raw").size(), 640u * 480u);
  EXPECT_EQ(ReadAll(Base() + ".bmp").size(), 921654u);
  EXPECT_TRUE(WaitForFrames(2));
}

TEST_F(StillFilesTest, OtherResolutionForOnePicture) {
  OpenPlaying();
  ASSERT_EQ(CameraCaptureFile(Base().c_str(), 4, 80, 1), 1);
  EXPECT_EQ(ReadAll(Base() + ".raw").size(), 1024u * 768u);
  int32_t w = 0, h = 0;
  CameraGetImageSize(&w, &h);
  EXPECT_EQ(w, 640);
  EXPECT_EQ(h, 480);
  EXPECT_EQ(CameraPlay(), 0);
  EXPECT_TRUE(WaitForFrames(3));
}

TEST_F(StillFilesTest, OddRegionWidthsGivePaddedBmpRows) {
  // Taller than one 128-row read: reads end on whole bulk packets.
  CameraSetROI(0, 0, 322, 200);
  OpenPlaying(CAMERA_RESOLUTION_ROI);
  ASSERT_EQ(CameraCaptureFile(Base().c_str(), 6, 80, 3), 1);
  CameraStop();
  const Bytes rgb = PipelineOf(Base() + ".raw");
  const Bytes bmp = ReadAll(Base() + ".bmp");
  const size_t stride = 968;  // 322 x 3 = 966, padded to 4
  ASSERT_EQ(bmp.size(), 54 + stride * 200);
  for (int y = 0; y < 200; ++y) {
    EXPECT_TRUE(std::equal(rgb.begin() + y * 966, rgb.begin() + (y + 1) * 966,
                           bmp.begin() + 54 + y * stride))
        << "row " << y;
  }
}

}  // namespace
}  // namespace vk
