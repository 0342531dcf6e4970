#include "sim/usb/usb_host.h"

#include <algorithm>

namespace vk::sim {

UsbHost::UsbHost(UsbHostOptions options) : options_(options) {}

UsbHost::~UsbHost() {
  std::lock_guard lock(mutex_);
  for (auto& d : devices_) d->Disconnect();
}

std::shared_ptr<UsbDevice> UsbHost::Plug(std::shared_ptr<Camera> camera) {
  std::lock_guard lock(mutex_);
  auto device =
      std::make_shared<UsbDevice>(std::move(camera), next_address_++, options_);
  devices_.push_back(device);
  return device;
}

void UsbHost::Unplug(const std::shared_ptr<UsbDevice>& device) {
  device->Disconnect();
  std::lock_guard lock(mutex_);
  devices_.erase(std::remove(devices_.begin(), devices_.end(), device),
                 devices_.end());
}

std::vector<std::shared_ptr<UsbDevice>> UsbHost::Devices() const {
  std::lock_guard lock(mutex_);
  return devices_;
}

}  // namespace vk::sim
