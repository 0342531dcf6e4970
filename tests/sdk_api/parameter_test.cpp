#include <cstring>
#include <random>
#include <vector>

#include "platform/win32.h"
#include "tests/sdk_api/sdk_api_fixture.h"

namespace vk {
namespace {

TEST_F(SdkApiTest, CallsWithoutCameraAnswerAsTheFamilyRuleSays) {
  int32_t flag = 7;
  uint8_t byte = 7;
  EXPECT_EQ(CameraSetMirror(0, 1), 0);
  EXPECT_EQ(CameraGetMonochrome(&flag), 0);
  EXPECT_EQ(CameraSetGamma(120), 0);
  EXPECT_EQ(CameraGetGamma(&byte), 0);
  EXPECT_EQ(byte, 7);
  EXPECT_EQ(CameraSetROI(10, 10, 100, 100), 1);
  EXPECT_EQ(CameraSetSnapMode(1), -4);
  EXPECT_EQ(CameraGetSnapMode(&byte), 1);
  EXPECT_EQ(byte, 0);
  EXPECT_EQ(CameraWriteSN("A", 1), -1);
  char sn[4];
  EXPECT_EQ(CameraReadSN(sn, 4), -1);
  EXPECT_EQ(CameraCheckSN(), -1);
  EXPECT_EQ(CameraSetWBWindow(0, 0, 8, 8), 0);
  EXPECT_EQ(CameraSetDisplayWindow(0, 0, 8, 8), 0);
  EXPECT_EQ(CameraReadParameter(1), 0);
  uint16_t year = 0;
  uint8_t month = 0, day = 0;
  EXPECT_EQ(CameraReadBN(&year, &month, &day), 0);
  EXPECT_EQ(CameraInitDeadPixel(), 0);
}

TEST_F(SdkApiTest, MirrorAndMonochromeOddities) {
  Open();
  int32_t on = 9;
  EXPECT_EQ(CameraSetMirror(2, 1), -4);
  EXPECT_EQ(CameraGetMirror(2, &on), -4);
  EXPECT_EQ(on, 9);
  EXPECT_EQ(CameraSetMirror(1, 1), 1);
  EXPECT_EQ(CameraGetMirror(1, &on), 1);
  EXPECT_EQ(on, 1);
  EXPECT_EQ(CameraGetMirror(0, &on), 1);
  EXPECT_EQ(on, 0);
  EXPECT_EQ(CameraSetMonochrome(1), 1);
  EXPECT_EQ(CameraGetMonochrome(&on), -4);
  EXPECT_EQ(on, 1);
}

TEST_F(SdkApiTest, SettersUseTheWidthsOfTheInterface) {
  Open();
  EXPECT_EQ(CameraSetGamma(0x178), 1);  // low byte: 0x78
  uint8_t byte = 0;
  CameraGetGamma(&byte);
  EXPECT_EQ(byte, 0x78);
  EXPECT_EQ(CameraSetAeTarget(0x1A0), 1);
  CameraGetAeTarget(&byte);
  EXPECT_EQ(byte, 0xA0);
  EXPECT_EQ(CameraSetExposureTime(0x10123), 1);
  int32_t rows = 0;
  CameraGetExposureTime(&rows);
  EXPECT_EQ(rows, 0x123);
  EXPECT_EQ(Camera().SensorRegister(9), 0x123);
  EXPECT_EQ(CameraSetAnalogGain(200), 1);
  uint16_t gain = 0;
  CameraGetAnalogGain(&gain);
  EXPECT_EQ(gain, 86);
  EXPECT_EQ(CameraSetGain(0x10050, 64, 100), 1);
  int32_t r = 0, g = 0, b = 0;
  CameraGetGain(&r, &g, &b);
  EXPECT_EQ(r, 0x50);
  EXPECT_EQ(g, 64);
  EXPECT_EQ(b, 100);
  EXPECT_EQ(CameraSetFrameSpeed(0x100), 1);  // low byte 0: normal
  CameraGetFrameSpeed(&byte);
  EXPECT_EQ(byte, 0);
  EXPECT_EQ(CameraSetFrameSpeed(5), 1);
  CameraGetFrameSpeed(&byte);
  EXPECT_EQ(byte, 1);
  EXPECT_EQ(CameraSetLightFrquency(1), 1);
  CameraGetLightFrquency(&byte);
  EXPECT_EQ(byte, 1);
  EXPECT_EQ(CameraSetB2RGBMode(2), 1);
  CameraGetB2RGBMode(&byte);
  EXPECT_EQ(byte, 2);
  int32_t row_time = 0;
  EXPECT_EQ(CameraGetRowTime(&row_time), 1);
  EXPECT_GT(row_time, 0);
}

TEST_F(SdkApiTest, RegionOfInterestIsAlignedAtInit) {
  EXPECT_EQ(CameraSetROI(361, 100, 2000, 400), 1);
  Open(CAMERA_RESOLUTION_ROI);
  uint16_t x = 0, y = 0, width = 0, height = 0;
  EXPECT_EQ(CameraGetROI(&x, &y, &width, &height), 1);
  EXPECT_EQ(x, 360);
  EXPECT_EQ(y, 100);
  EXPECT_EQ(width, 1688);
  EXPECT_EQ(height, 400);
  int32_t w = 0, h = 0;
  CameraGetImageSize(&w, &h);
  EXPECT_EQ(w, 1688);
  EXPECT_EQ(h, 400);
  // The cells now hold the aligned region; the next init keeps it.
  Open(CAMERA_RESOLUTION_ROI);
  EXPECT_EQ(CameraGetROI(&x, &y, &width, &height), 1);
  EXPECT_EQ(x, 360);
  EXPECT_EQ(width, 1688);
}

TEST_F(SdkApiTest, WindowChecks) {
  Open();
  EXPECT_EQ(CameraSetWBWindow(0, 0, 641, 480), 0);
  EXPECT_EQ(CameraSetWBWindow(600, 400, 40, 80), 1);
  EXPECT_EQ(CameraSetDisplayWindow(0, 0, 641, 480), 0);
  EXPECT_EQ(CameraSetDisplayWindow(640, 0, 0, 480), 1);
  EXPECT_EQ(CameraSetDisplayWindow(641, 0, 0, 480), 0);
}

TEST_F(SdkApiTest, LotDateWordsDecode) {
  Open();
  Camera().SetMemoryWord(nvram::kLotDate, 0xFFFF);
  uint16_t year = 0;
  uint8_t month = 0, day = 0;
  EXPECT_EQ(CameraReadBN(&year, &month, &day), 0);
  Camera().SetMemoryWord(nvram::kLotDate, (2013 - 2009) * 512 + 11 * 32 + 19);
  EXPECT_EQ(CameraReadBN(&year, &month, &day), 1);
  EXPECT_EQ(year, 2013);
  EXPECT_EQ(month, 11);
  EXPECT_EQ(day, 19);
  EXPECT_EQ(CameraWriteLotDate(), 1);
  SYSTEMTIME today = {};
  GetLocalTime(&today);
  EXPECT_EQ(CameraReadBN(&year, &month, &day), 1);
  EXPECT_EQ(year, today.wYear);
  EXPECT_EQ(month, today.wMonth);
  EXPECT_EQ(day, today.wDay);
}

TEST_F(SdkApiTest, SerialNumberAndTeams) {
  Open();
  EXPECT_EQ(CameraWriteSN("VK-0042", 7), 1);
  char text[8] = {};
  EXPECT_EQ(CameraReadSN(text, 7), 1);
  EXPECT_STREQ(text, "VK-0042");
  EXPECT_EQ(CameraWriteSN("X", 0), 0);
  EXPECT_EQ(CameraWriteSN("X", 33), 0);

  CameraSetGamma(150);
  EXPECT_EQ(CameraSaveParameter(2), 1);
  uint8_t team = 0, gamma = 0;
  CameraGetCurrentParameterTeam(&team);
  EXPECT_EQ(team, 2);
  EXPECT_EQ(CameraLoadDefault(), 1);
  CameraGetGamma(&gamma);
  EXPECT_EQ(gamma, 100);
  EXPECT_EQ(CameraReadParameter(2), 1);
  CameraGetGamma(&gamma);
  EXPECT_EQ(gamma, 150);
}

TEST_F(SdkApiTest, GpioLines) {
  Open();
  EXPECT_EQ(CameraSetGpio(0x0F), 1);
  EXPECT_EQ(CameraWriteGpio(0x05), 1);
  uint8_t pins = 0;
  EXPECT_EQ(CameraReadGpio(&pins), 1);
}

// Settings change on the application thread while the process thread runs
// the pipeline in the callback: every change lands between two frames.
TEST_F(SdkApiTest, SettingsChangeWhileThePipelineRuns) {
  Log().on_frame = [](uint8_t* raw) {
    uint8_t* rgb = CameraISP(raw);
    CameraDisplayRGB24(rgb);
  };
  HWND preview = host::CreatePictureWindow(160, 120);
  Open(CAMERA_RESOLUTION_640X480, preview);
  ASSERT_EQ(CameraPlay(), 1);
  std::mt19937 random(7);
  for (int i = 0; i < 200; ++i) {
    switch (random() % 9) {
      case 0: CameraSetGamma(50 + random() % 150); break;
      case 1: CameraSetContrast(random() % 100); break;
      case 2: CameraSetGain(60 + random() % 20, 64, 90); break;
      case 3: CameraSetB2RGBMode(random() % 3); break;
      case 4: CameraSetMirror(random() % 2, random() % 2); break;
      case 5: CameraSetMonochrome(random() % 2); break;
      case 6: CameraSetAeState(random() % 2); break;
      case 7: CameraSetDisplayWindow(random() % 100, 0, 320, 240); break;
      default: CameraSetColorEnhancement(random() % 2); break;
    }
    if (i % 20 == 0) WaitForFrames(1);
  }
  EXPECT_TRUE(WaitForFrames(2));
  EXPECT_EQ(CameraStop(), 1);
  EXPECT_GT(host::PictureOf(preview).draws, 0u);
}

}  // namespace
}  // namespace vk
