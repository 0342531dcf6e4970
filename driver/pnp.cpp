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
  // A start after a stop: the previous registration thread must end before
  // its reference is replaced, or it could outlive the device.
  if (ext->registration_thread != nullptr) {
    port.WaitForThread(ext->registration_thread);
    port.DereferenceThread(ext->registration_thread);
    ext->registration_thread = nullptr;
  }
  kernel::Thread* thread = nullptr;
  if (NtSuccess(port.CreateThread(&RegistrationThread, ext->self, &thread)))
    ext->registration_thread = thread;
  return kStatusSuccess;
}

void FreeCameraRecords(DeviceExtension* ext) {
  KernelPort& port = *ext->driver->port;
  if (ext->settings) port.FreePool(ext->settings);
  if (ext->device_descriptor) port.FreePool(ext->device_descriptor);
  ext->settings = nullptr;
  ext->device_descriptor = nullptr;
  // Readers copy from the record under its lock: it leaves under it too.
  const kernel::Irql irql = port.AcquireSpinLock(&ext->record_lock);
  usb::InterfaceInformation* record = ext->interface_record;
  ext->interface_record = nullptr;
  port.ReleaseSpinLock(&ext->record_lock, irql);
  if (record) port.FreePool(record);
}

// Aborts every pipe of the record in force, each looked up under the record
// lock, since an interface change may swap the record meanwhile.
void AbortAllPipes(DeviceExtension* ext) {
  usb::PipeInformation pipe;
  for (uint32_t i = 0; FindPipe(ext, i, &pipe) == PipeLookup::kFound; ++i)
    AbortPipe(ext, pipe.PipeHandle);
}

NtStatus Remove(DeviceExtension* ext, kernel::Irp* irp) {
  KernelPort& port = *ext->driver->port;
  kernel::StoreByte(&ext->removing, 1);
  AbortAllPipes(ext);
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
  // Its last run has left the pending-I/O count: it is no longer queued.
  if (ext->configure_work != nullptr) port.FreeWorkItem(ext->configure_work);
  ext->configure_work = nullptr;
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
  const uint8_t minor = port.CurrentStack(irp).minor;
  // After a surprise removal the removing flag is already set, and the
  // removal itself must still be carried out.
  if (minor == kernel::kIrpMnRemoveDevice) {
    kernel::LockedIncrement(&ext->pending_io);
    return Remove(ext, irp);
  }
  if (!EnterIo(ext)) return CompleteWith(port, irp, kStatusDeletePending);
  NtStatus status = kStatusSuccess;
  switch (minor) {
    case kernel::kIrpMnStartDevice:
      status = ForwardAndWait(ext, irp);
      if (NtSuccess(status)) {
        status = Start(ext);
        if (NtSuccess(status)) kernel::StoreByte(&ext->started, 1);
        port.SetStatus(irp, status, 0);
      }
      port.CompleteRequest(irp);
      break;
    case kernel::kIrpMnStopDevice:
      // The camera is unconfigured while the lower drivers still take
      // requests; the stop then goes down and its result is theirs.
      Unconfigure(ext);
      status = PassDown(ext, irp);
      break;
    case kernel::kIrpMnSurpriseRemoval:
      // The camera is gone: no new open or request is let in from now on.
      kernel::StoreByte(&ext->removing, 1);
      port.SetStatus(irp, kStatusSuccess, 0);
      status = PassDown(ext, irp);
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
