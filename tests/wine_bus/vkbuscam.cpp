// vkbuscam.dll: the cameras behind the virtual USB bus, our simulated
// camera with the USB wire semantics of the simulated host controller,
// unchanged. Wine loads kernel drivers into an ordinary process, where the
// bus driver loads this library beside itself.
#include <windows.h>

#include <memory>
#include <mutex>
#include <string>

#include "common/usb/urb.h"
#include "sim/camera/environment.h"
#include "sim/usb/usb_host.h"
#include "tests/wine_bus/bus_protocol.h"

namespace {

using vk::winebus::kPorts;

struct Ports {
  std::mutex mutex;
  vk::sim::UsbHost host;
  std::shared_ptr<vk::sim::UsbDevice> devices[kPorts];
  int plugged = 0;  // cameras plugged so far: the next one's options index
};

Ports& Get() {
  static Ports* ports = new Ports;  // outlives every request
  return *ports;
}

std::shared_ptr<vk::sim::UsbDevice> DeviceOf(uint32_t port) {
  Ports& p = Get();
  std::lock_guard lock(p.mutex);
  return port < kPorts ? p.devices[port] : nullptr;
}

}  // namespace

extern "C" __declspec(dllexport) int32_t VkBusCamPlug(uint32_t port, uint32_t noise) {
  Ports& p = Get();
  std::lock_guard lock(p.mutex);
  if (port >= kPorts || p.devices[port] != nullptr) return vk::kStatusInvalidParameter;
  vk::sim::CameraOptions options;
  std::string error;
  if (!vk::sim::CameraOptionsFromEnvironment(p.plugged, &options, &error)) {
    OutputDebugStringA(error.c_str());
    return vk::kStatusInvalidParameter;
  }
  options.noise = noise != 0;
  ++p.plugged;
  p.devices[port] = p.host.Plug(std::make_shared<vk::sim::Camera>(std::move(options)));
  return vk::kStatusSuccess;
}

extern "C" __declspec(dllexport) void VkBusCamUnplug(uint32_t port) {
  std::shared_ptr<vk::sim::UsbDevice> device;
  {
    Ports& p = Get();
    std::lock_guard lock(p.mutex);
    if (port >= kPorts) return;
    device = std::move(p.devices[port]);
  }
  if (device) Get().host.Unplug(device);
}

extern "C" __declspec(dllexport) void VkBusCamSubmit(uint32_t port, void* urb,
                                                     VkBusCamDone done, void* context) {
  std::shared_ptr<vk::sim::UsbDevice> device = DeviceOf(port);
  if (device == nullptr) {
    static_cast<vk::usb::UrbHeader*>(urb)->Status = vk::kUsbdStatusDeviceGone;
    done(context, static_cast<int32_t>(vk::kStatusDeviceNotConnected));
    return;
  }
  device->Submit(static_cast<vk::usb::UrbHeader*>(urb),
                 [done, context](vk::NtStatus status) { done(context, static_cast<int32_t>(status)); });
}

extern "C" __declspec(dllexport) void VkBusCamCancel(uint32_t port, const void* urb) {
  if (std::shared_ptr<vk::sim::UsbDevice> device = DeviceOf(port))
    device->Cancel(static_cast<const vk::usb::UrbHeader*>(urb));
}

extern "C" __declspec(dllexport) int32_t VkBusCamResetPort(uint32_t port) {
  std::shared_ptr<vk::sim::UsbDevice> device = DeviceOf(port);
  return static_cast<int32_t>(device ? device->ResetPort() : vk::kStatusDeviceNotConnected);
}
