// The simulated plug-and-play and power managers: they load the driver,
// give it a physical device object for each camera plugged into the
// simulated USB host (AddDevice, then IRP_MN_START_DEVICE), take it away on
// unplug (surprise removal, then IRP_MN_REMOVE_DEVICE), and carry the
// system through sleep and resume.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/kernel/sim_kernel.h"
#include "sim/kernel/usb_bus.h"
#include "sim/usb/usb_host.h"

namespace vk::sim {

using DriverEntryRoutine = NtStatus (*)(kernel::KernelPort& port,
                                        kernel::DriverObject* driver,
                                        const char16_t* registry_path);

inline constexpr char16_t kServicesPath[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

struct PluggedCamera {
  int id = -1;  // the manager's number for the camera, never reused
  std::shared_ptr<UsbBusDevice> bus;
  NtStatus add_status = kStatusUnsuccessful;
  NtStatus start_status = kStatusUnsuccessful;
  kernel::DeviceObject* top() const;  // top of the camera's device stack
};

class PnpManager {
 public:
  PnpManager(SimKernel& kernel, UsbHost& host);
  ~PnpManager();  // unplugs every camera and unloads the driver
  PnpManager(const PnpManager&) = delete;
  PnpManager& operator=(const PnpManager&) = delete;

  NtStatus LoadDriver(DriverEntryRoutine entry,
                      const std::u16string& service = u"vku2cam");
  void UnloadDriver();
  kernel::DriverObject* driver() const { return driver_; }

  // Plugs the camera in; returns its id. add_status and start_status tell
  // how the driver took it.
  // A failing `refused_start` is what the bus answers the first start with.
  PluggedCamera Plug(std::shared_ptr<Camera> camera,
                     std::u16string hardware_id = {},
                     NtStatus refused_start = kStatusSuccess);
  void Unplug(int id);
  std::vector<PluggedCamera> Cameras() const;

  // A plug-and-play request with a minor code and argument to the top of
  // a camera's stack, waited for; returns its final status.
  NtStatus SendPnp(int id, uint8_t minor, void* argument = nullptr);
  void SystemSleep(int32_t state = kernel::kPowerSystemSleeping3);
  void SystemResume();

 private:
  NtStatus Send(kernel::DeviceObject* top, uint8_t major, uint8_t minor,
                void* argument, kernel::PowerType type, int32_t state,
                NtStatus initial);
  void RemoveLocked(PluggedCamera& camera);

  SimKernel& kernel_;
  UsbHost& host_;
  mutable std::mutex mutex_;  // plug-and-play requests come one at a time
  kernel::DriverObject* driver_ = nullptr;
  std::vector<PluggedCamera> cameras_;
  int next_id_ = 0;
};

}  // namespace vk::sim
