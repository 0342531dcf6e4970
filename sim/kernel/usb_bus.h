// The USB bus driver's side of a simulated camera: its physical device
// object (PDO), which turns the driver's internal requests into URBs on the
// simulated USB host, and answers plug-and-play and power requests as a
// bus driver does.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "sim/kernel/sim_kernel.h"
#include "sim/usb/usb_host.h"

namespace vk::sim {

class UsbBusDevice {
 public:
  // An empty `hardware_id` is made from the camera's identity.
  UsbBusDevice(SimKernel& kernel, std::shared_ptr<UsbDevice> usb, int index,
               std::u16string hardware_id = {});
  ~UsbBusDevice();
  UsbBusDevice(const UsbBusDevice&) = delete;
  UsbBusDevice& operator=(const UsbBusDevice&) = delete;

  kernel::DeviceObject* pdo() const { return pdo_; }
  // The camera has left the bus: its device object goes.
  void Retire();
  // "USB\VID_1A2B&PID_3C4D&REV_0001" for the default camera.
  const std::u16string& hardware_id() const { return hardware_id_; }
  UsbDevice& usb() { return *usb_; }
  const std::shared_ptr<UsbDevice>& usb_device() const { return usb_; }

  NtStatus Dispatch(kernel::DeviceObject* device, kernel::Irp* irp);
  // The next IRP_MN_START_DEVICE fails with `status` (as when the bus
  // cannot give the device its resources).
  void RefuseNextStart(NtStatus status) { refused_start_ = status; }
  // Sees every URB the driver sends, before the USB host runs it.
  void SetUrbObserver(std::function<void(const usb::UrbHeader&)> observer);

 private:
  NtStatus InternalRequest(kernel::Irp* irp);
  NtStatus Pnp(kernel::Irp* irp);
  void CompleteAtDispatch(kernel::Irp* irp);

  SimKernel& kernel_;
  std::shared_ptr<UsbDevice> usb_;
  std::u16string hardware_id_;
  kernel::DeviceObject* pdo_;
  // Between IRP_MN_STOP_DEVICE and the next start the bus takes no URB.
  std::atomic<bool> stopped_{false};
  std::atomic<NtStatus> refused_start_{kStatusSuccess};
  std::mutex observer_mutex_;
  std::function<void(const usb::UrbHeader&)> observer_;
};

}  // namespace vk::sim
