// The data source's camera engine against the whole simulated stack.
#include "twain/camera/usb_device.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <system_error>
#include <cstring>
#include <thread>
#include <vector>

#include "tests/common/wait.h"
#include "platform/host/host.h"
#include "tests/sdk/sdk_fixture.h"
#include "tests/twain/threadless_camera.h"

namespace vk::twain {
namespace {

using Bytes = std::vector<uint8_t>;
using vk::RegisterWrite;

class UsbDeviceTest : public SdkFixture {
 protected:
  void SetUp() override {
    SdkFixture::SetUp();
    dialog_ = host::CreateMessageWindow();
  }

  std::unique_ptr<CUSBDevice> Make(int processors) {
    auto device = std::make_unique<CUSBDevice>(processors);
    device->SetDialog(dialog_);
    return device;
  }

  // Waits for the next WM_FRAME_NOTIFY; its wParam, or -1 when none comes.
  int NextNotify() {
    int notified = -1;
    WaitUntil([&] {
      MSG msg;
      while (PeekMessageA(&msg, dialog_, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_FRAME_NOTIFY) {
          notified = static_cast<int>(msg.wParam);
          return true;
        }
      }
      return false;
    });
    return notified;
  }

  // Drops what a stopped device posted and nobody took, so that the next
  // device's notices are its own.
  void DropNotices() {
    MSG msg;
    while (PeekMessageA(&msg, dialog_, 0, 0, PM_REMOVE)) {
    }
  }

  std::vector<uint16_t> StreamWords() {
    std::vector<uint16_t> words;
    for (const sim::RecordedRequest& r : Camera().Requests())
      if (r.setup.request == VR_STREAM_CONTROL) words.push_back(r.setup.value);
    return words;
  }

  HWND dialog_ = nullptr;
};

TEST_F(UsbDeviceTest, OpenSequenceAndRegisterWrites) {
  auto device = Make(1);
  device->StartPreview(0, 0);
  ASSERT_EQ(NextNotify(), 1);
  device->StopPreview();
  const std::vector<RegisterWrite> expected = {
      {7, 2},        {10, 0x8000}, {13, 1},    {13, 0},      {1, 21},     {2, 33},
      {32, 0},       {30, 0x8040}, {78, 0x20}, {4, 2047},    {3, 1535},   {43, 96},
      {44, 1120},    {45, 96},     {46, 96},   {10, 0x8001}, {73, 128},   {34, 0},
      {35, 0},       {8, 0},       {9, 1561},  {34, 0x11},   {35, 0x11},  {10, 0x8001},
      {5, 336},      {9, 300},     {53, 28}};
  std::vector<RegisterWrite> writes = SensorWrites();
  ASSERT_GE(writes.size(), expected.size());
  EXPECT_EQ(std::vector<RegisterWrite>(writes.begin(), writes.begin() + expected.size()),
            expected);
  EXPECT_EQ(writes.back(), (RegisterWrite{7, 0})) << "closing stops the sensor";
  const std::vector<uint16_t> words = StreamWords();
  ASSERT_GE(words.size(), 9u);
  EXPECT_EQ(std::vector<uint16_t>(words.begin(), words.begin() + 7),
            (std::vector<uint16_t>{1, 0, 1, 1, 0, 1, 3}));
  EXPECT_EQ(std::vector<uint16_t>(words.end() - 2, words.end()), (std::vector<uint16_t>{1, 0}));
}

TEST_F(UsbDeviceTest, ACaptureThreadThatCannotStartIsReported) {
  ThreadlessCamera device(1, 0);
  device.SetDialog(dialog_);
  device.StartPreview(0, 0);
  EXPECT_FALSE(device.capture_running());
  const auto boxes = host::TakeMessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Failed to start PLV210!");
  EXPECT_EQ(boxes[0].owner, dialog_);
  EXPECT_EQ(boxes[0].caption, "");
  EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OK | MB_ICONWARNING));
  EXPECT_FALSE(device.WaitForImage(0));
}

TEST_F(UsbDeviceTest, WithoutAReaderThreadTheCaptureThreadReadsItself) {
  ThreadlessCamera device(2, 1);  // the capture thread, no reader
  device.SetDialog(dialog_);
  device.StartPreview(0, 0);
  for (int i = 0; i < 2; ++i) ASSERT_EQ(NextNotify(), 1);
  device.StopPreview();
  EXPECT_FALSE(device.multi_processor());
  EXPECT_TRUE(host::TakeMessageBoxes().empty());
}

TEST_F(UsbDeviceTest, BothProcessorModesDeliverImages) {
  for (const int processors : {1, 2}) {
    auto device = Make(processors);
    EXPECT_EQ(device->multi_processor(), processors > 1);
    device->StartPreview(0, 0);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(NextNotify(), 1) << processors;
    int w = 0, h = 0;
    device->GetImageSize(&w, &h);
    EXPECT_EQ(w, 1024);
    EXPECT_EQ(h, 768);
    Bytes image(1024 * 768 * 3);
    EXPECT_TRUE(device->CopyLatestImage(image.data(), image.size()));
    device->StopPreview();
    device->GetImageSize(&w, &h);
    EXPECT_EQ(w, 0) << "the camera is closed";
    DropNotices();
  }
}

TEST_F(UsbDeviceTest, CopyRefusesASmallBufferAndNoImage) {
  auto device = Make(1);
  Bytes image(1024 * 768 * 3);
  EXPECT_FALSE(device->CopyLatestImage(image.data(), image.size())) << "no image yet";
  device->StartPreview(0, 0);
  ASSERT_EQ(NextNotify(), 1);
  EXPECT_FALSE(device->CopyLatestImage(image.data(), image.size() - 1));
  EXPECT_FALSE(device->CopyLatestImage(nullptr, image.size()));
  EXPECT_TRUE(device->CopyLatestImage(image.data(), image.size()));
}

TEST_F(UsbDeviceTest, BgrOptionCopiesTopDownRgb) {
  // Every frame alike and no automatic exposure: every image is the same.
  Camera().SetFrameGenerator([](const sim::FrameInfo& f, uint8_t* out) {
    for (size_t i = 0; i < f.geometry.bytes(); ++i)
      out[i] = static_cast<uint8_t>((i % f.geometry.width) / 5 + (i / f.geometry.width) / 4);
  });
  auto device = Make(1);
  device->SetExposure(0, 100, 300, 20);
  device->StartPreview(0, 0);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(NextNotify(), 1);
  const size_t row = 1024 * 3;
  Bytes plain(row * 768), swapped(row * 768);
  device->set_bgr_option(0);
  ASSERT_TRUE(device->CopyLatestImage(plain.data(), plain.size()));
  device->set_bgr_option(1);
  ASSERT_TRUE(device->CopyLatestImage(swapped.data(), swapped.size()));
  device->StopPreview();
  for (int y = 0; y < 768; y += 37)
    for (size_t x = 0; x < row; x += 3 * 41) {
      const uint8_t* p = plain.data() + row * (767 - y) + x;
      const uint8_t* q = swapped.data() + row * y + x;
      ASSERT_EQ(q[0], p[2]) << y;
      ASSERT_EQ(q[1], p[1]) << y;
      ASSERT_EQ(q[2], p[0]) << y;
    }
}

TEST_F(UsbDeviceTest, ReadFailureNotifiesAndCloses) {
  auto device = Make(1);
  device->StartPreview(0, 0);
  ASSERT_EQ(NextNotify(), 1);
  UnplugAll();
  int notice = 1;
  while (notice == 1) notice = NextNotify();
  EXPECT_EQ(notice, 0);
  device->StopPreview();
}

TEST_F(UsbDeviceTest, NoCameraNotifiesAFailure) {
  UnplugAll();
  auto device = Make(2);
  device->StartPreview(0, 0);
  EXPECT_EQ(NextNotify(), 0);
  device->StopPreview();
}

TEST_F(UsbDeviceTest, StopReturnsWhenTheCameraStopsSending) {
  for (const int processors : {1, 2}) {
    auto device = Make(processors);
    device->StartPreview(0, 0);
    ASSERT_EQ(NextNotify(), 1);
    sim::SetupPacket stop{0x40, VR_STREAM_CONTROL, 0, kStreamControlIndex, 0};
    Camera().Control(stop, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    device->StopPreview();
    EXPECT_FALSE(device->capture_running());
    DropNotices();
  }
}

TEST_F(UsbDeviceTest, ResolutionChangeWhileACopyHoldsItsBuffer) {
  auto device = Make(2);
  device->StartPreview(0, 0);
  ASSERT_EQ(NextNotify(), 1);
  // A copy in progress elsewhere: the engine must not reuse its buffer.
  std::atomic<bool> copying{true};
  Bytes image(1024 * 768 * 3);
  std::thread copier([&] {
    while (copying.load()) device->CopyLatestImage(image.data(), image.size());
  });
  device->ChangeResolution(2);
  int w = 0, h = 0;
  for (int i = 0; i < 3; ++i) ASSERT_EQ(NextNotify(), 1);
  copying = false;
  copier.join();
  device->GetImageSize(&w, &h);
  EXPECT_EQ(w, 640);
  EXPECT_EQ(h, 480);
  EXPECT_EQ(device->GetResolution(), 2);
  EXPECT_EQ(device->dib_header().biWidth, 640);
  std::vector<RegisterWrite> writes = SensorWrites();
  EXPECT_NE(std::find(writes.begin(), writes.end(), RegisterWrite{34, 0x22}), writes.end());
}

TEST_F(UsbDeviceTest, SettingsChangeWhileCapturing) {
  auto device = Make(2);
  device->StartPreview(0, 0);
  ASSERT_EQ(NextNotify(), 1);
  for (int i = 0; i < 100; ++i) {
    device->SetGamma(static_cast<uint8_t>(50 + i));
    device->SetContrast(static_cast<uint8_t>(i % 100));
    device->SetMono(i % 2);
    device->SetVFlip(i % 3 == 0);
    device->SetHFlip(i % 5 == 0);
    device->SetWhiteBalance(i % 7 == 0, 70, 64, 90);
    device->SetExposure(i % 2, 100, static_cast<uint16_t>(100 + i), 20);
    device->SetSaturation(1, static_cast<uint8_t>(i));
  }
  EXPECT_EQ(NextNotify(), 1);
  device->StopPreview();
}

TEST_F(UsbDeviceTest, ManualExposureWritesTheRegisters) {
  auto device = Make(1);
  device->StartPreview(0, 0);
  ASSERT_EQ(NextNotify(), 1);
  Camera().ClearRequests();
  device->SetExposure(1, 100, 400, 30);
  EXPECT_TRUE(std::none_of(SensorWrites().begin(), SensorWrites().end(),
                           [](const RegisterWrite& w) { return w == RegisterWrite{9, 400}; }))
      << "with AE on the values are only stored";
  device->SetExposure(0, 100, 400, 30);
  device->StopPreview();
  const auto writes = SensorWrites();
  EXPECT_NE(std::find(writes.begin(), writes.end(), RegisterWrite{9, 400}), writes.end());
  EXPECT_NE(std::find(writes.begin(), writes.end(), RegisterWrite{53, 86}), writes.end());
}

TEST_F(UsbDeviceTest, GroupsPersistAndClampOnLoad) {
  {
    auto device = Make(1);
    device->SetGamma(180);
    device->SelectParameterGroup(2);
    device->SetGamma(60);
    device->set_bgr_option(0);
  }  // destruction saves group 2 as the current one
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\VELMORAN\\PLV210\\dshowC", 0,
                          KEY_ALL_ACCESS, &key),
            ERROR_SUCCESS);
  const DWORD too_big = 9000;
  RegSetValueExA(key, "ExposureTime", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&too_big), 4);
  RegCloseKey(key);
  auto device = Make(1);
  uint32_t group = 9, ae = 0;
  uint8_t gamma = 0, target = 0;
  uint16_t time = 0, gain = 0;
  device->GetParameterGroup(&group);
  device->GetGamma(&gamma);
  device->GetExposure(&ae, &target, &time, &gain);
  EXPECT_EQ(group, 2u);
  EXPECT_EQ(gamma, 60);
  EXPECT_EQ(time, 4000) << "clamped into 1..4000";
  EXPECT_EQ(device->bgr_option(), 0u);
  // Group 0 was never saved: its absent values keep the settings in force.
  device->SelectParameterGroup(0);
  device->GetGamma(&gamma);
  EXPECT_EQ(gamma, 60);
  EXPECT_EQ(device->GetGamma(nullptr), 0);
}

}  // namespace
}  // namespace vk::twain
