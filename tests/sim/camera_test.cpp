#include "sim/camera/camera.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <numeric>

#include "common/camera_protocol.h"

namespace vk::sim {
namespace {

constexpr uint8_t kVendorIn = 0xC0, kVendorOut = 0x40;

class CameraTest : public ::testing::Test {
 protected:
  // A vendor device-to-host request as the SDK sends it; returns the answer.
  std::vector<uint8_t> In(uint8_t request, uint16_t value, uint16_t index,
                          uint16_t length) {
    std::vector<uint8_t> data(length, 0xEE);
    const ControlResult r =
        camera_.Control({kVendorIn, request, value, index, length}, data.data());
    last_stalled_ = r.stalled;
    data.resize(r.bytes);
    return data;
  }
  bool WriteRegister(uint16_t reg, uint16_t value) {
    return In(VR_SENSOR_WRITE, value, reg, 1) == std::vector<uint8_t>{kAckByte};
  }
  void ApplyMode(std::initializer_list<std::pair<uint16_t, uint16_t>> writes) {
    for (auto [reg, value] : writes) ASSERT_TRUE(WriteRegister(reg, value));
  }

  Camera camera_;
  bool last_stalled_ = false;
};

TEST_F(CameraTest, ChipVersionReadsAsSixteenXxWithAcknowledge) {
  EXPECT_EQ(In(VR_SENSOR_READ, 0, 0, 3), (std::vector<uint8_t>{0x16, 0x04, 8}));
}

TEST_F(CameraTest, SensorWriteAnswersAcknowledgeAndReadsBackMsbFirst) {
  EXPECT_EQ(In(VR_SENSOR_WRITE, 0x2D60, 53, 1), std::vector<uint8_t>{8});
  EXPECT_EQ(In(VR_SENSOR_READ, 0, 53, 3), (std::vector<uint8_t>{0x2D, 0x60, 8}));
  EXPECT_EQ(camera_.SensorRegister(53), 0x2D60);
}

TEST_F(CameraTest, ChipVersionRegisterIgnoresWrites) {
  EXPECT_TRUE(WriteRegister(0, 0x1234));
  EXPECT_EQ(camera_.SensorRegister(0), kDefaultChipVersion);
}

TEST_F(CameraTest, RegisterOutsideTheSensorIsNotAcknowledged) {
  EXPECT_EQ(In(VR_SENSOR_READ, 0, 0x100, 3)[2], 0);
  EXPECT_EQ(In(VR_SENSOR_WRITE, 5, 0x100, 1), std::vector<uint8_t>{0});
}

TEST_F(CameraTest, ShortAnswerBufferGetsOnlyWLengthBytes) {
  EXPECT_EQ(In(VR_SENSOR_READ, 0, 0, 2), (std::vector<uint8_t>{0x16, 0x04}));
}

TEST_F(CameraTest, GpioWriteConfigureAndReadAnswerOneByte) {
  EXPECT_EQ(In(VR_GPIO, 0x0F, kGpioConfigure, 1).size(), 1u);
  EXPECT_EQ(In(VR_GPIO, 0x05, kGpioWrite, 1), std::vector<uint8_t>{0xF5});
  EXPECT_EQ(In(VR_GPIO, 0, kGpioRead, 1), std::vector<uint8_t>{0xF5});
  In(VR_GPIO, 0, 0x1234, 1);
  EXPECT_TRUE(last_stalled_);
}

TEST_F(CameraTest, MemoryWordsTravelMostSignificantByteFirst) {
  EXPECT_EQ(In(VR_EEPROM_WRITE, 0x4142, nvram::kSerialNumber, 1),
            std::vector<uint8_t>{8});
  EXPECT_EQ(In(VR_EEPROM_READ, 0, nvram::kSerialNumber, 3),
            (std::vector<uint8_t>{0x41, 0x42, 8}));
}

TEST_F(CameraTest, ErasedLotDateReadsAllOnes) {
  EXPECT_EQ(In(VR_EEPROM_READ, 0, nvram::kLotDate, 3),
            (std::vector<uint8_t>{0xFF, 0xFF, 8}));
}

TEST_F(CameraTest, DeadPixelTableIsWritableOnlyAfterUnlock) {
  EXPECT_EQ(In(VR_EEPROM_WRITE, 0xAA22, nvram::kDeadPixelMarker, 1),
            std::vector<uint8_t>{0});
  EXPECT_EQ(camera_.MemoryWord(nvram::kDeadPixelMarker), 0xFFFF);
  In(VR_EEPROM_WRITE, nvram::kUnlockWord, nvram::kUnlock, 1);
  EXPECT_EQ(In(VR_EEPROM_WRITE, 0xAA22, nvram::kDeadPixelMarker, 1),
            std::vector<uint8_t>{8});
  EXPECT_EQ(camera_.MemoryWord(nvram::kDeadPixelMarker), 0xAA22);
  camera_.Reset();  // a bus reset locks the table again
  EXPECT_EQ(In(VR_EEPROM_WRITE, 0xAA23, nvram::kDeadPixelMarker, 1),
            std::vector<uint8_t>{0});
}

TEST_F(CameraTest, StreamControlNeedsHostToDeviceAndIndexFifteen) {
  SetupPacket s{kVendorOut, VR_STREAM_CONTROL, 1, kStreamControlIndex, 0};
  EXPECT_FALSE(camera_.Control(s, nullptr).stalled);
  s.index = 14;
  EXPECT_TRUE(camera_.Control(s, nullptr).stalled);
  s = {kVendorOut, VR_STREAM_CONTROL, 2, kStreamControlIndex, 0};
  EXPECT_TRUE(camera_.Control(s, nullptr).stalled);
  In(VR_STREAM_CONTROL, 1, kStreamControlIndex, 0);
  EXPECT_TRUE(last_stalled_);
}

TEST_F(CameraTest, UnknownAndNonVendorRequestsStall) {
  In(99, 0, 0, 1);
  EXPECT_TRUE(last_stalled_);
  uint8_t b = 0;
  EXPECT_TRUE(camera_.Control({0xA0, VR_SENSOR_READ, 0, 0, 1}, &b).stalled);
  EXPECT_TRUE(camera_.Control({0xC1, VR_SENSOR_READ, 0, 0, 1}, &b).stalled);
}

TEST_F(CameraTest, RecordsEveryRequestInOrder) {
  camera_.ClearRequests();
  WriteRegister(9, 261);
  In(VR_SENSOR_READ, 0, 9, 3);
  In(42, 0, 0, 1);
  const auto r = camera_.Requests();
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0].setup.request, VR_SENSOR_WRITE);
  EXPECT_EQ(r[0].setup.value, 261);
  EXPECT_EQ(r[0].setup.index, 9);
  EXPECT_EQ(r[0].data, std::vector<uint8_t>{8});
  EXPECT_EQ(r[1].data, (std::vector<uint8_t>{0x01, 0x05, 8}));
  EXPECT_TRUE(r[2].stalled);
}

TEST_F(CameraTest, GeometryFollowsEachResolutionMode) {
  ApplyMode({{1, 21}, {2, 33}, {4, 2047}, {3, 1535}, {34, 0}, {35, 0}, {5, 336}});
  FrameGeometry g = camera_.Geometry();
  EXPECT_EQ(g.width, 2048);
  EXPECT_EQ(g.height, 1536);
  ApplyMode({{34, 0x11}, {35, 0x11}});
  g = camera_.Geometry();
  EXPECT_EQ(g.width, 1024);
  EXPECT_EQ(g.height, 768);
  ApplyMode({{2, 36}, {4, 1919}, {3, 1439}, {34, 0x22}, {35, 0x22}});
  g = camera_.Geometry();
  EXPECT_EQ(g.width, 640);
  EXPECT_EQ(g.height, 480);
  EXPECT_EQ(g.first_column, 3);
  // Region of interest at column 360, row 272, 640 x 480.
  ApplyMode({{4, 639}, {3, 479}, {1, 272 + 21}, {2, 360 + 33}, {34, 0}, {35, 0}});
  g = camera_.Geometry();
  EXPECT_EQ(g.width, 640);
  EXPECT_EQ(g.height, 480);
  EXPECT_EQ(g.first_row, 272);
  EXPECT_EQ(g.first_column, 360);
}

TEST(SensorTiming, RowTimesMatchTheResolutionTable) {
  SensorRegisters s;
  EXPECT_EQ(s.RowTimeClocks(), 2753u);
  s.Write(reg::kRowMode, 0x11);
  s.Write(reg::kColumnMode, 0x11);
  EXPECT_EQ(s.RowTimeClocks(), 2055u);
  s.Write(reg::kWindowWidth, 1919);
  s.Write(reg::kRowMode, 0x22);
  s.Write(reg::kColumnMode, 0x22);
  EXPECT_EQ(s.RowTimeClocks(), 1989u);
}

TEST(SensorTiming, ExposureFollowsRowsRowTimeAndPixelClock) {
  SensorRegisters s;
  s.Write(reg::kShutterWidth, 240);
  s.Write(reg::kPixelClock, 0x8001);
  EXPECT_DOUBLE_EQ(s.ExposureMicroseconds(), 240.0 * 2753 / 24);
  s.Write(reg::kPixelClock, 0x8000);
  EXPECT_DOUBLE_EQ(s.ExposureMicroseconds(), 240.0 * 2753 / 48);
}

TEST(SensorTiming, GainCodesOfTheAnalogGainIndex) {
  EXPECT_DOUBLE_EQ(GainOfCode(8), 1.0);
  EXPECT_DOUBLE_EQ(GainOfCode(32), 4.0);
  EXPECT_DOUBLE_EQ(GainOfCode(81), 4.25);   // index 25
  EXPECT_DOUBLE_EQ(GainOfCode(96), 8.0);    // index 40
  EXPECT_DOUBLE_EQ(GainOfCode(0x160), 9.0);  // index 41
}

double MeanOfChannel(const std::vector<uint8_t>& f, const FrameGeometry& g,
                     int channel, int x0, int y0, int w, int h) {
  double sum = 0;
  int n = 0;
  for (int y = y0; y < y0 + h; ++y)
    for (int x = x0; x < x0 + w; ++x)
      if (BayerChannel(x, y) == channel) {
        sum += f[static_cast<size_t>(y) * g.width + x];
        ++n;
      }
  return sum / n;
}

TEST(SceneRendering, BrightnessIsProportionalToExposureTimesGain) {
  RenderSettings s;
  s.geometry = {2048, 1536, 0, 0, 1, 1};
  s.noise = false;
  s.exposure_us = 20000;
  s.gain = 1;
  std::vector<uint8_t> a(s.geometry.bytes()), b(s.geometry.bytes());
  RenderBayer(Scene::Default(), s, a.data());
  s.gain = 2;
  RenderBayer(Scene::Default(), s, b.data());
  // The mid-grey patch of the chart (row 4, column 4).
  const int x = 184 + 3 * 286 + 50, y = 200 + 3 * 260 + 50;
  const double ga = MeanOfChannel(a, s.geometry, 1, x, y, 100, 100);
  const double gb = MeanOfChannel(b, s.geometry, 1, x, y, 100, 100);
  EXPECT_NEAR(gb / ga, 2.0, 0.05);
  // The warm cast: blue below green below... on a neutral patch.
  EXPECT_LT(MeanOfChannel(a, s.geometry, 2, x, y, 100, 100), ga);
  EXPECT_LT(MeanOfChannel(a, s.geometry, 0, x, y, 100, 100), ga);
}

TEST(SceneRendering, SaturatesAtFullScale) {
  RenderSettings s;
  s.geometry = {64, 64, 1000, 800, 1, 1};
  s.exposure_us = 1e6;
  s.gain = 8;
  std::vector<uint8_t> f(s.geometry.bytes());
  RenderBayer(Scene::Default(), s, f.data());
  EXPECT_EQ(*std::max_element(f.begin(), f.end()), 255);
}

TEST(Nvram, PersistsToItsFileBetweenCameras) {
  const std::string file =
      (std::filesystem::temp_directory_path() / "vkcam_nvram_test.bin").string();
  std::remove(file.c_str());
  {
    CameraOptions o;
    o.nvram_file = file;
    Camera c(o);
    uint8_t ack = 0;
    c.Control({kVendorIn, VR_EEPROM_WRITE, 0x1234, nvram::kLotDate, 1}, &ack);
    EXPECT_EQ(ack, kAckByte);
  }
  CameraOptions o;
  o.nvram_file = file;
  Camera again(o);
  EXPECT_EQ(again.MemoryWord(nvram::kLotDate), 0x1234);
  std::remove(file.c_str());
}

TEST_F(CameraTest, WrongAcknowledgeFaultLastsItsCount) {
  FaultPlan f;
  f.wrong_ack = 0x00;
  f.wrong_ack_count = 2;
  camera_.SetFaults(f);
  EXPECT_EQ(In(VR_SENSOR_READ, 0, 0, 3)[2], 0x00);
  EXPECT_EQ(In(VR_SENSOR_WRITE, 1, 9, 1)[0], 0x00);
  EXPECT_EQ(In(VR_SENSOR_READ, 0, 0, 3)[2], kAckByte);
}

TEST_F(CameraTest, ChipVersionAndReadOnlyMemoryFaults) {
  FaultPlan f;
  f.chip_version = 0x1500;
  f.nvram_refuses_writes = true;
  camera_.SetFaults(f);
  EXPECT_EQ(In(VR_SENSOR_READ, 0, 0, 3), (std::vector<uint8_t>{0x15, 0x00, 8}));
  EXPECT_EQ(In(VR_EEPROM_WRITE, 0x0102, nvram::kLotDate, 1),
            std::vector<uint8_t>{8});
  EXPECT_EQ(camera_.MemoryWord(nvram::kLotDate), 0xFFFF);
}

// A halt for a number of transfers ends after them, even when a frame
// begins meanwhile (a read that was under way when the halt came).
TEST_F(CameraTest, AHaltForSomeTransfersEndsAfterThemThoughAFrameBegins) {
  camera_.HaltImageEndpointFor(2);
  std::vector<uint8_t> packet(kBulkPacketSize);
  camera_.ReadStream(packet.data(), static_cast<uint32_t>(packet.size()));
  EXPECT_TRUE(camera_.StallTransfer(kImageEndpoint));
  EXPECT_TRUE(camera_.StallTransfer(kImageEndpoint));
  EXPECT_FALSE(camera_.EndpointHalted(kImageEndpoint));
  EXPECT_FALSE(camera_.StallTransfer(kImageEndpoint));
}

}  // namespace
}  // namespace vk::sim
