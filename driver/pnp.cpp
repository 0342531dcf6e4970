// Plug and play: start, stop, capabilities and removal, which waits until
// every request inside the driver has left. Passive level, one request at a
// time from the plug-and-play manager.
#include "driver/driver.h"
#include "driver/wide_string.h"

namespace vk::drv {
namespace {

using kernel::KernelPort;

NtStatus Start(DeviceExtension* ext) {
  KernelPort& port = *ext->driver->port;
  kernel::StoreByte(&ext->link_flag, 1);
  // A camera whose configuration fails is still started; opening it is then
  // refused for want of an interface record.
  if (ReadDeviceDescriptor(ext)) Configure(ext);
  kernel::Thread* thread = nullptr;
  if (NtSuccess(port.CreateThread(&RegistrationThread, ext->self, &thread)))
    ext->registration_thread = thread;
  return kStatusSuccess;
}

void FreeCameraRecords(DeviceExtension* ext) {
  KernelPort& port = *ext->driver->port;
  if (ext->settings) port.FreePool(ext->settings);
  if (ext->device_descriptor) port.FreePool(ext->device_descriptor);
  if (ext->interface_record) port.FreePool(ext->interface_record);
  ext->settings = nullptr;
  ext->device_descriptor = nullptr;
  ext->interface_record = nullptr;
}

NtStatus Remove(DeviceExtension* ext, kernel::Irp* irp) {
  KernelPort& port = *ext->driver->port;
  kernel::StoreByte(&ext->removing, 1);
  if (const usb::InterfaceInformation* record = ext->interface_record) {
    for (uint32_t i = 0; i < record->NumberOfPipes; ++i)
      AbortPipe(ext, record->Pipes[i].PipeHandle);
  }
  // Once for this request, once for the bias set at AddDevice.
  LeaveIo(ext);
  LeaveIo(ext);
  // A waiting acquire of the token holds the count: it ends with removal.
  CancelWaitingAcquire(ext);
  port.WaitForEvent(&ext->remove_event);
  if (ext->token_held) ReleaseToken(ext);
  if (ext->registration_thread != nullptr) {
    port.WaitForThread(ext->registration_thread);
    port.DereferenceThread(ext->registration_thread);
    ext->registration_thread = nullptr;
  }
  RemoveRegistration(ext);
  FreeCameraRecords(ext);
  if (ext->link_flag) {
    ext->link_flag = 0;
    port.DeleteSymbolicLink(ext->link_name);
  }
  kernel::DeviceObject* lower = ext->lower_device;
  kernel::DeviceObject* self = ext->self;
  DriverState* state = ext->driver;
  const uint8_t instance = ext->instance;
  const NtStatus status = PassDown(ext, irp);
  port.Detach(lower);
  ReleaseInstance(state, instance);
  port.DeleteDevice(self);
  return status;
}

NtStatus QueryCapabilities(DeviceExtension* ext, kernel::Irp* irp) {
  KernelPort& port = *ext->driver->port;
  if (port.CapabilitiesVersion(irp) == 0) return PassDown(ext, irp);
  const NtStatus status = ForwardAndWait(ext, irp);
  if (NtSuccess(status)) port.SetSurpriseRemovalOk(irp);
  port.CompleteRequest(irp);
  return status;
}

}  // namespace

NtStatus DispatchPnp(kernel::DeviceObject* device, kernel::Irp* irp) {
  DeviceExtension* ext = ExtensionOf(device);
  KernelPort& port = *ext->driver->port;
  if (!EnterIo(ext)) return CompleteWith(port, irp, kStatusDeletePending);
  NtStatus status = kStatusSuccess;
  switch (port.CurrentStack(irp).minor) {
    case kernel::kIrpMnStartDevice:
      status = ForwardAndWait(ext, irp);
      if (NtSuccess(status)) {
        status = Start(ext);
        if (NtSuccess(status)) kernel::StoreByte(&ext->started, 1);
        port.SetStatus(irp, status, 0);
      }
      port.CompleteRequest(irp);
      break;
    case kernel::kIrpMnRemoveDevice:
      return Remove(ext, irp);
    case kernel::kIrpMnStopDevice:
      PassDown(ext, irp);
      status = Unconfigure(ext);
      break;
    case kernel::kIrpMnQueryCapabilities:
      status = QueryCapabilities(ext, irp);
      break;
    default:
      status = PassDown(ext, irp);
      break;
  }
  LeaveIo(ext);
  return status;
}

}  // namespace vk::drv
