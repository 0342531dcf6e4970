// CCamera: initialisation, sensor modes, exposure and gain arithmetic,
// identity data, through the whole simulated stack.
#include "sdk/core/camera.h"

#include <cstring>

#include "sdk_fixture.h"

namespace vk {
namespace {

using CameraTest = SdkFixture;

const std::vector<RegisterWrite> kStartUp = {
    {7, 2},      {10, 0x8000}, {13, 1},     {13, 0},      {1, 21},
    {2, 33},     {32, 0},      {30, 0x8040}, {78, 0x20},  {4, 2047},
    {3, 1535},   {43, 96},     {44, 96},    {45, 96},     {46, 96},
    {10, 0x8001}, {73, 128},   {34, 0},     {35, 0},      {8, 0},
    {96, 0},     {97, 127},    {98, 3}};

TEST_F(CameraTest, InitializeWritesTheStartUpTableInOrder) {
  CCamera camera;
  Camera().ClearRequests();
  ASSERT_EQ(camera.Initialize(kResolutionFull), 1);
  std::vector<RegisterWrite> expected = kStartUp;
  // Full-resolution mode, frame speed, timing, exposure, gain.
  const std::vector<RegisterWrite> tail = {
      {1, 21},  {2, 33}, {4, 2047}, {3, 1535}, {34, 0},  {35, 0},
      {5, 336}, {10, 0x8001}, {5, 336}, {8, 0}, {9, 261}, {8, 0},
      {9, 438}, {53, 28}};
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(SensorWrites(), expected);
  EXPECT_EQ(camera.GetRowTime(), 114u);
  EXPECT_EQ(camera.banding_step(), 87);
  EXPECT_EQ(camera.GetExposure(), 438);  // 50000 us over 114 us rows
  EXPECT_EQ(Camera().SensorRegister(9), 438);
  EXPECT_EQ(Camera().SensorRegister(53), 28);
}

TEST_F(CameraTest, NoCameraShowsTheMessageAndFails) {
  UnplugAll();
  CCamera camera;
  EXPECT_EQ(camera.Initialize(kResolutionFull), 0);
  const auto boxes = host::TakeMessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "USB Camera Not Find!");
  EXPECT_EQ(boxes[0].caption, "");
  EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OK));
}

TEST_F(CameraTest, WrongChipVersionFailsSilently) {
  sim::FaultPlan f;
  f.chip_version = 0x1500;
  Camera().SetFaults(f);
  CCamera camera;
  EXPECT_EQ(camera.Initialize(kResolutionFull), 0);
  EXPECT_TRUE(host::TakeMessageBoxes().empty());
  EXPECT_EQ(SensorWrites(), (std::vector<RegisterWrite>{{7, 2}}));
}

TEST_F(CameraTest, SensorModeOfEachResolution) {
  CCamera camera;
  ASSERT_EQ(camera.Initialize(kResolutionFull), 1);
  struct Case {
    uint8_t index;
    std::vector<RegisterWrite> writes;
    int width, height;
  };
  const Case cases[] = {
      {kResolutionHalf,
       {{1, 21}, {2, 33}, {4, 2047}, {3, 1535}, {34, 0x11}, {35, 0x11}, {5, 336}},
       1024, 768},
      {kResolutionVga,
       {{1, 21}, {2, 36}, {4, 1919}, {3, 1439}, {34, 0x22}, {35, 0x22}, {5, 336}},
       640, 480},
      {kResolutionRoi,
       {{4, 639}, {3, 479}, {1, 272 + 21}, {2, 360 + 33}, {34, 0}, {35, 0}},
       640, 480},
      {4, {}, 1280, 1024},
  };
  for (const Case& c : cases) {
    Camera().ClearRequests();
    camera.SetResolution(c.index);
    camera.ApplySensorMode(c.index);
    EXPECT_EQ(SensorWrites(), c.writes) << int{c.index};
    int w = 0, h = 0;
    camera.GetImageSize(&w, &h);
    EXPECT_EQ(w, c.width);
    EXPECT_EQ(h, c.height);
    EXPECT_EQ(camera.GetMaxExposure(), 2 * c.height);
    EXPECT_EQ(camera.device()->frame_size(),
              static_cast<uint32_t>(c.width * c.height));
  }
}

TEST_F(CameraTest, AnalogGainCodes) {
  CCamera camera;
  ASSERT_EQ(camera.Initialize(kResolutionFull), 1);
  const std::pair<uint32_t, uint16_t> cases[] = {
      {100, 0x2D60}, {86, 0x2D60}, {85, 0x2D60}, {24, 32}, {25, 81},
      {40, 96},      {41, 0x160},  {0, 8}};
  for (auto [gain, code] : cases) {
    camera.SetAnalogGain(gain);
    EXPECT_EQ(Camera().SensorRegister(53), code) << gain;
  }
  camera.SetAnalogGain(100);
  EXPECT_EQ(camera.GetAnalogGain(), 86u);
}

TEST_F(CameraTest, TimingFollowsSpeedAndMainsFrequency) {
  CCamera camera;
  ASSERT_EQ(camera.Initialize(kResolutionFull), 1);
  camera.SetExposure(300);
  camera.UpdateTiming();
  EXPECT_EQ(camera.GetRowTime(), 114u);
  EXPECT_EQ(camera.banding_step(), 87);
  EXPECT_EQ(camera.GetExposure(), 261);
  camera.SetLightFrequency(1);  // 60 Hz: 24 x 100000 / (2753 x 12)
  EXPECT_EQ(camera.banding_step(), 72);
  camera.SetFrameSpeed(1);      // 48 MHz
  EXPECT_EQ(camera.GetRowTime(), 57u);
  EXPECT_EQ(camera.banding_step(), 145);
  EXPECT_EQ(Camera().SensorRegister(10), 0x8000);
}

TEST_F(CameraTest, RegionOfInterestRowTimeComesFromTheSensor) {
  CCamera camera;
  camera.SetRoi(0, 0, 640, 480);
  ASSERT_EQ(camera.Initialize(kResolutionRoi), 1);
  // 640 + 336 + 38 = 1014, at least 316, plus 331.
  EXPECT_EQ(camera.GetRowTime(), 1345u / 24);
}

TEST_F(CameraTest, RegionOfInterestIsEvenAndInsideTheSensor) {
  CCamera camera;
  EXPECT_EQ(camera.SetRoi(361, 273, 4000, 4000), 1);
  uint16_t column, row, width, height;
  camera.GetRoi(&column, &row, &width, &height);
  EXPECT_EQ(column, 360);
  EXPECT_EQ(row, 272);
  EXPECT_EQ(width, 1688);
  EXPECT_EQ(height, 1264);
}

TEST_F(CameraTest, ChangeResolutionKeepsTheExposureTime) {
  CCamera camera;
  ASSERT_EQ(camera.Initialize(kResolutionFull), 1);
  camera.SetExposure(300);
  Camera().ClearRequests();
  camera.ChangeResolution(kResolutionHalf);
  EXPECT_EQ(camera.GetExposure(), 300 * 2753 / 2055);
  const auto requests = Camera().Requests();
  EXPECT_EQ(requests.back().setup.request, VR_STREAM_CONTROL);
  EXPECT_EQ(requests.back().setup.value, 3);
}

TEST_F(CameraTest, ShutdownSavesStopsTheSensorAndTheLink) {
  {
    CCamera camera;
    ASSERT_EQ(camera.Initialize(kResolutionFull), 1);
    Camera().ClearRequests();
    camera.Shutdown();
  }
  const auto requests = Camera().Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].setup.request, VR_SENSOR_WRITE);
  EXPECT_EQ(requests[0].setup.index, 7);
  EXPECT_EQ(requests[0].setup.value, 0);
  EXPECT_EQ(requests[1].setup.request, VR_STREAM_CONTROL);
  EXPECT_EQ(requests[1].setup.value, 0);
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\VELMORAN\\TRQ50\\setupa",
                          0, KEY_READ, &key),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST_F(CameraTest, SerialNumberLengthsAndOddCounts) {
  CCamera camera;
  ASSERT_EQ(camera.Initialize(kResolutionFull), 1);
  Camera().ClearRequests();
  char text[40] = "ABCDE";
  EXPECT_EQ(camera.WriteSerialNumber(text, 0), 0);
  EXPECT_EQ(camera.WriteSerialNumber(text, 33), 0);
  EXPECT_EQ(camera.ReadSerialNumber(text, 0), 0);
  EXPECT_EQ(camera.ReadSerialNumber(text, 33), 0);
  EXPECT_TRUE(Camera().Requests().empty());
  ASSERT_EQ(camera.WriteSerialNumber("ABCDE", 5), 1);
  EXPECT_EQ(Camera().MemoryWord(0x2400), 0x4142);
  EXPECT_EQ(Camera().MemoryWord(0x2404), 0x4500);
  char back[6];
  std::memset(back, '#', sizeof(back));
  ASSERT_EQ(camera.ReadSerialNumber(back, 5), 1);
  EXPECT_EQ(std::memcmp(back, "ABCDE", 5), 0);
  EXPECT_EQ(back[5], '#');  // nothing past the count
}

TEST_F(CameraTest, LotDateReadBackAndErasedMemory) {
  CCamera camera;
  ASSERT_EQ(camera.Initialize(kResolutionFull), 1);
  EXPECT_EQ(camera.ReadLotDate(), 0xFFFF);
  const nvram::LotDate d = nvram::DecodeLotDate(camera.ReadLotDate());
  EXPECT_EQ(d.year, 2136);
  EXPECT_EQ(d.month, 15);
  EXPECT_EQ(d.day, 31);
  EXPECT_EQ(camera.WriteLotDate(nvram::EncodeLotDate(2026, 12, 7)), 1);
  sim::FaultPlan f;
  f.nvram_refuses_writes = true;
  Camera().SetFaults(f);
  EXPECT_EQ(camera.WriteLotDate(nvram::EncodeLotDate(2027, 1, 1)), 0);
}

TEST_F(CameraTest, DeadPixelListOfTheResolutionIsLoaded) {
  sim::Camera& cam = Camera();
  cam.SetMemoryWord(nvram::kDeadPixelMarker, nvram::kDeadPixelMarkerValid);
  cam.SetMemoryWord(nvram::DeadPixelHeader(0), nvram::DeadPixelHeaderValue(0));
  cam.SetMemoryWord(nvram::DeadPixelCount(0), 2);
  cam.SetMemoryWord(nvram::DeadPixelColumn(0, 0), 10);
  cam.SetMemoryWord(nvram::DeadPixelRow(0, 0), 20);
  cam.SetMemoryWord(nvram::DeadPixelColumn(0, 1), 5000);  // clamped to 2048
  cam.SetMemoryWord(nvram::DeadPixelRow(0, 1), 30);
  CCamera camera;
  ASSERT_EQ(camera.Initialize(kResolutionFull), 1);
  ASSERT_EQ(camera.dead_pixel_count(), 2u);
  EXPECT_EQ(camera.dead_pixels()[0].column, 10);
  EXPECT_EQ(camera.dead_pixels()[0].row, 20);
  EXPECT_EQ(camera.dead_pixels()[1].column, 2048);
  cam.SetMemoryWord(nvram::DeadPixelCount(0), 100);
  EXPECT_EQ(camera.LoadDeadPixels(0), 0);
  EXPECT_EQ(camera.dead_pixel_count(), 0u);
}

TEST_F(CameraTest, CameraCountAndGpioThroughTheObject) {
  world::World::Get().Plug();
  CCamera camera;
  EXPECT_EQ(camera.CameraCount(), 2);
  ASSERT_EQ(camera.Initialize(kResolutionFull), 1);
  EXPECT_EQ(camera.SetGpio(0xFF), 1);
  EXPECT_EQ(camera.WriteGpio(0x3C), 0x3C);
  EXPECT_EQ(camera.ReadGpio(), 0x3C);
}

}  // namespace
}  // namespace vk

namespace vk {
namespace {

TEST_F(CameraTest, RequestedDetectionStoresTheBrightestSamples) {
  Camera().SetFrameGenerator([](const sim::FrameInfo& f, uint8_t* out) {
    std::memset(out, 0, f.geometry.bytes());
    for (int i = 0; i < 50; ++i) out[20 * f.geometry.width + 10 + i] = 255;
    for (int i = 0; i < 100; ++i) out[30 * f.geometry.width + 10 + i] = 200;
  });
  CCamera camera;
  ASSERT_EQ(camera.Initialize(kResolutionVga), 1);
  camera.StartStream();
  std::vector<uint8_t> raw(640 * 480);
  int got = 0;
  for (int i = 0; i < 5 && got != 1; ++i) got = camera.ReadFrame(raw.data());
  ASSERT_EQ(got, 1);
  camera.RequestDetection();
  camera.Process(raw.data(), camera.output(), 640, 480);
  EXPECT_EQ(camera.detection_requested(), 0u);
  ASSERT_EQ(camera.dead_pixel_count(), 50u);
  // Stored under the resolution in force, and loaded back from the camera.
  EXPECT_EQ(Camera().MemoryWord(nvram::kDeadPixelMarker), nvram::kDeadPixelMarkerValid);
  EXPECT_EQ(Camera().MemoryWord(nvram::DeadPixelHeader(2)), 0x0202);
  EXPECT_EQ(Camera().MemoryWord(nvram::DeadPixelCount(2)), 50);
  EXPECT_EQ(Camera().MemoryWord(nvram::DeadPixelColumn(2, 3)), 13);
  EXPECT_EQ(Camera().MemoryWord(nvram::DeadPixelRow(2, 3)), 20);
  CCamera other;
  ASSERT_EQ(other.Initialize(kResolutionVga), 1);
  EXPECT_EQ(other.dead_pixel_count(), 50u);
  // The frame itself was corrected: column 10's same-colour neighbours are
  // column 8 (black) and column 12 (listed, 255).
  EXPECT_EQ(raw[20 * 640 + 10], 127);
}

TEST_F(CameraTest, MemoryThatRefusesWritesSaysCantWrite) {
  sim::FaultPlan f;
  f.nvram_refuses_writes = true;
  Camera().SetFaults(f);
  CCamera camera;
  ASSERT_EQ(camera.Initialize(kResolutionFull), 1);
  host::TakeMessageBoxes();
  EXPECT_EQ(camera.StoreDeadPixels(0), 0);
  const auto boxes = host::TakeMessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "can't write!");
}

}  // namespace
}  // namespace vk
