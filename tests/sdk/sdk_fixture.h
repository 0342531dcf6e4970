// The SDK's camera core against the whole simulated stack: the Win32 calls,
// the simulated I/O manager, the vku2cam driver, the USB host and camera.
// Each test runs in its own process with a fresh machine and registry.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "common/camera_protocol.h"
#include "platform/host/host.h"
#include "sim/world/world.h"

namespace vk {

using RegisterWrite = std::pair<uint16_t, uint16_t>;

class SdkFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    // A registry of the test's own: tests may run side by side.
    registry_ = ::testing::TempDir() + "vkcam_sdk_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                ".registry";
    std::remove(registry_.c_str());
    setenv("VKCAM_REGISTRY", registry_.c_str(), 1);
    world::World& w = world::World::Get();
    const auto cameras = w.system().pnp().Cameras();
    ASSERT_FALSE(cameras.empty());
    camera_id_ = cameras.front().id;
    Camera().ClearRequests();
    host::TakeMessageBoxes();
  }

  sim::Camera& Camera() { return *world::World::Get().CameraOf(camera_id_); }

  // The sensor register writes the camera received, in order.
  std::vector<RegisterWrite> SensorWrites() {
    std::vector<RegisterWrite> writes;
    for (const sim::RecordedRequest& r : Camera().Requests()) {
      if (r.setup.request == VR_SENSOR_WRITE && (r.setup.request_type & 0x60) == 0x40)
        writes.emplace_back(r.setup.index, r.setup.value);
    }
    return writes;
  }

  void UnplugAll() {
    world::World& w = world::World::Get();
    for (const auto& c : w.system().pnp().Cameras()) w.Unplug(c.id);
  }

  int camera_id_ = -1;
  std::string registry_;
};

}  // namespace vk
