// The driver loaded into the simulated kernel, with simulated cameras on an
// unthrottled USB host.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "driver/driver.h"
#include "sim/kernel/sim_system.h"

namespace vk::drv {

inline const std::string kStartKey =
    "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vku2cam\\"
    "VID_1A2B&PID_3C4D\\START";

inline std::vector<uint8_t> WideValue(const std::u16string& s) {
  std::vector<uint8_t> bytes;
  for (char16_t c : s) {
    bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

class DriverFixture : public ::testing::Test {
 protected:
  DriverFixture() : system_(&DriverEntry, sim::UsbHostOptions{false, 40e6}) {}

  sim::SimKernel& kernel() { return system_.kernel(); }
  sim::PnpManager& pnp() { return system_.pnp(); }

  sim::PluggedCamera Plug(sim::CameraOptions options = {}) {
    options.noise = false;
    return pnp().Plug(std::make_shared<sim::Camera>(options));
  }
  // The device extension behind "\DosDevices\trq5c-n", or null.
  DeviceExtension* Extension(int instance) {
    kernel::DeviceObject* d = kernel().ResolveLink(
        u"\\DosDevices\\trq5c-" + std::u16string(1, char16_t(u'0' + instance)));
    return d ? ExtensionOf(d) : nullptr;
  }
  void SetStartValue(const std::string& name, const std::u16string& text) {
    kernel().SetRegistryValue(kStartKey, name, kernel::kRegSz, WideValue(text));
  }
  // The pending-I/O count, read as the driver writes it (atomically).
  int32_t PendingIo(int instance) {
    return __atomic_load_n(&Extension(instance)->pending_io, __ATOMIC_ACQUIRE);
  }
  sim::Camera& CameraOf(const sim::PluggedCamera& c) {
    return c.bus->usb().camera();
  }

  sim::SimSystem system_;
};

}  // namespace vk::drv
