// A whole simulated machine below user mode: the USB host, the kernel with
// its registry provisioned from the driver's INF, and the plug-and-play
// manager with the driver loaded.
#pragma once

#include <memory>

#include "sim/kernel/inf.h"
#include "sim/kernel/pnp_manager.h"

namespace vk::sim {

class SimSystem {
 public:
  // Throttling follows `usb`; the driver is loaded from `entry`; the
  // registry is kept in `hive` (in memory when null).
  SimSystem(DriverEntryRoutine entry, UsbHostOptions usb = {},
            std::unique_ptr<RegistryHive> hive = nullptr);
  ~SimSystem();

  SimKernel& kernel() { return kernel_; }
  UsbHost& usb() { return usb_; }
  PnpManager& pnp() { return *pnp_; }
  NtStatus load_status() const { return load_status_; }

 private:
  UsbHost usb_;
  SimKernel kernel_;
  std::unique_ptr<PnpManager> pnp_;
  NtStatus load_status_ = kStatusUnsuccessful;
};

}  // namespace vk::sim
