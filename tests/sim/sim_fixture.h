// A simulated camera on an unthrottled USB host, configured and driven with
// URBs as a function driver would.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "common/camera_protocol.h"
#include "sim/usb/usb_client.h"

namespace vk::sim {

inline constexpr uint32_t kImagePipe = 1;

class SimFixture : public ::testing::Test {
 protected:
  void SetUp() override { Plug(CameraOptions{}); }

  void Plug(CameraOptions options) {
    options.noise = false;
    camera_ = std::make_shared<Camera>(options);
    device_ = host_.Plug(camera_);
    client_ = std::make_unique<UsbClient>(device_);
    ASSERT_EQ(client_->Configure(), kStatusSuccess);
  }

  // The register writes of the SDK's resolution modes 0, 1 and 2.
  void SelectResolution(int index) {
    const uint16_t mode = index == 0 ? 0 : index == 1 ? 0x11 : 0x22;
    const uint16_t width = index == 2 ? 1919 : 2047;
    const uint16_t height = index == 2 ? 1439 : 1535;
    for (auto [reg, value] : {std::pair<uint16_t, uint16_t>{1, 21},
                              {2, static_cast<uint16_t>(index == 2 ? 36 : 33)},
                              {4, width}, {3, height}, {34, mode}, {35, mode},
                              {5, 336}})
      ASSERT_TRUE(client_->WriteSensor(reg, value));
  }

  void StartStreaming() { ASSERT_TRUE(client_->StreamControl(kStreamStart)); }

  UsbHost host_{UsbHostOptions{false, 40e6}};
  std::shared_ptr<Camera> camera_;
  std::shared_ptr<UsbDevice> device_;
  std::unique_ptr<UsbClient> client_;
};

}  // namespace vk::sim
