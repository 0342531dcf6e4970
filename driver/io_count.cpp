// The pending-I/O count that lets removal wait until no request is inside
// the driver, and the two ways of handing a request to the lower driver.
#include "driver/driver.h"

namespace vk::drv {
namespace {

struct ForwardWait {
  kernel::KernelPort* port;
  kernel::Event done;
};

NtStatus SignalForwardWait(kernel::DeviceObject*, kernel::Irp*,
                           void* context) {
  auto* wait = static_cast<ForwardWait*>(context);
  wait->port->SetEvent(&wait->done);
  return kStatusMoreProcessingRequired;
}

}  // namespace

// Dispatch level.
bool EnterIo(DeviceExtension* ext) {
  kernel::LockedIncrement(&ext->pending_io);
  if (!kernel::LoadByte(&ext->removing)) return true;
  LeaveIo(ext);
  return false;
}

// Dispatch level.
void LeaveIo(DeviceExtension* ext) {
  if (kernel::LockedDecrement(&ext->pending_io) == 0)
    ext->driver->port->SetEvent(&ext->remove_event);
}

// Passes the request down and waits for the lower drivers to finish with it;
// the request is the caller's again afterwards. Passive level.
NtStatus ForwardAndWait(DeviceExtension* ext, kernel::Irp* irp) {
  kernel::KernelPort& port = *ext->driver->port;
  ForwardWait wait{&port, {}};
  port.InitializeEvent(&wait.done, true, false);
  port.CopyStackToNext(irp);
  port.SetCompletion(irp, &SignalForwardWait, &wait);
  NtStatus status = port.CallDriver(ext->lower_device, irp);
  if (status == kStatusPending) port.WaitForEvent(&wait.done);
  status = port.Status(irp).status;
  return status;
}

NtStatus PassDown(DeviceExtension* ext, kernel::Irp* irp) {
  kernel::KernelPort& port = *ext->driver->port;
  port.SkipStack(irp);
  return port.CallDriver(ext->lower_device, irp);
}

NtStatus CompleteWith(kernel::KernelPort& port, kernel::Irp* irp,
                      NtStatus status, uintptr_t information) {
  port.SetStatus(irp, status, information);
  port.CompleteRequest(irp);
  return status;
}

}  // namespace vk::drv
