#include "sim/kernel/sim_system.h"

#include <cstdio>

namespace vk::sim {

SimSystem::SimSystem(DriverEntryRoutine entry, UsbHostOptions usb,
                     std::unique_ptr<RegistryHive> hive)
    : usb_(usb), pnp_(std::make_unique<PnpManager>(kernel_, usb_)) {
  if (hive) kernel_.SetHive(std::move(hive));
  std::string error;
  if (!ProvisionFromInf(kernel_, DriverInf(), &error))
    std::fprintf(stderr, "simsystem: %s\n", error.c_str());
  // The class roots every Windows machine has.
  kernel_.EnsureKey("\\Registry\\Machine\\Software\\Classes\\CLSID");
  kernel_.EnsureKey("\\Registry\\Machine\\Software\\Classes\\WOW6432Node\\CLSID");
  load_status_ = pnp_->LoadDriver(entry);
}

SimSystem::~SimSystem() { pnp_.reset(); }

}  // namespace vk::sim
