// Hundreds of open/play/change/stop/close cycles with random timing and
// cameras pulled out in the middle: nothing may hang, crash or leak.
#include <random>
#include <vector>

#include "platform/win32.h"
#include "tests/sdk_api/sdk_api_fixture.h"

namespace vk {
namespace {

void Replug() {
  world::World& w = world::World::Get();
  if (w.system().pnp().Cameras().empty()) w.Plug();
}

void RandomSetting(std::mt19937& random) {
  switch (random() % 6) {
    case 0: CameraSetGamma(60 + random() % 100); break;
    case 1: CameraSetB2RGBMode(random() % 3); break;
    case 2: CameraSetExposureTime(50 + random() % 500); break;
    case 3: CameraSetMirror(random() % 2, random() % 2); break;
    case 4: CameraSetAeState(random() % 2); break;
    default: CameraSetGain(64, 64, 64 + random() % 40); break;
  }
}

TEST_F(SdkApiTest, InitPlayStopUnInitCyclesWithUnplugs) {
  Log().on_frame = [](uint8_t* raw) { CameraDisplayRGB24(CameraISP(raw)); };
  HWND preview = host::CreatePictureWindow(80, 60);
  HWND messages = host::CreateMessageWindow();
  const size_t handles_before = host::OpenHandleCount();
  std::mt19937 random(2026);
  constexpr int kResolutions[] = {CAMERA_RESOLUTION_640X480,
                                  CAMERA_RESOLUTION_1024X768,
                                  CAMERA_RESOLUTION_ROI};
  CameraSetROI(100, 100, 320, 240);
  int opened = 0, unplugged = 0;
  for (int cycle = 0; cycle < 300; ++cycle) {
    Replug();
    const int resolution = kResolutions[random() % 3];
    if (CameraInit(&CountingCallback, resolution, preview, 1,
                   random() % 2 ? messages : nullptr) != 1)
      continue;
    ++opened;
    CameraPlay();
    for (int k = random() % 4; k > 0; --k) RandomSetting(random);
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 12));
    if (random() % 12 == 0) {
      UnplugAll();
      ++unplugged;
      std::this_thread::sleep_for(std::chrono::milliseconds(random() % 30));
    }
    if (random() % 5 == 0) {
      std::vector<uint8_t> rgb(2048 * 1536 * 3);
      if (random() % 2) CameraGrabFrame(rgb.data()); else CameraSnap(rgb.data(), 1);
    }
    if (random() % 3) CameraStop();  // otherwise closing stops the capture
    CameraUnInit();
    host::TakePostedMessages(messages);
  }
  EXPECT_GT(opened, 250);
  EXPECT_GT(unplugged, 10);
  EXPECT_EQ(host::OpenHandleCount(), handles_before);
}

}  // namespace
}  // namespace vk
