// The single road of a synchronous USB request: one URB in an internal
// device-control request to the lower device, waited for without time-out;
// and the output such a request may write into.
#include "common/control_codes.h"
#include "driver/driver.h"

namespace vk::drv {

void* AllocateUrb(kernel::KernelPort& port, size_t bytes) {
  void* urb = port.AllocateNonPaged(bytes);
  if (urb != nullptr) __builtin_memset(urb, 0, bytes);
  return urb;
}

// Returns the request's NTSTATUS, or kStatusUnsuccessful when the URB's
// USBD status failed; a failed USBD status is kept as the last error.
// Passive level.
NtStatus SubmitUrb(DeviceExtension* ext, usb::UrbHeader* urb) {
  kernel::KernelPort& port = *ext->driver->port;
  kernel::Event done;
  kernel::IoStatus io = {kStatusPending, 0};
  port.InitializeEvent(&done, true, false);
  kernel::Irp* irp = port.BuildInternalRequest(
      IOCTL_INTERNAL_USB_SUBMIT_URB, ext->lower_device, urb, &done, &io);
  if (irp == nullptr) return kStatusInsufficientResources;
  NtStatus status = port.CallDriver(ext->lower_device, irp);
  if (status == kStatusPending) {
    port.WaitForEvent(&done);
    status = io.status;
  }
  if (!UsbdSuccess(urb->Status))
    kernel::StoreU32(&ext->last_usbd_error, static_cast<uint32_t>(urb->Status));
  if (!NtSuccess(status)) return status;
  return UsbdSuccess(urb->Status) ? status : kStatusUnsuccessful;
}

WritableOutput::WritableOutput(kernel::KernelPort& port, kernel::Irp* irp,
                               uint32_t control_code, bool wanted)
    : port_(port) {
  if (!wanted) return;
  kernel::Mdl* described = port.RequestMdl(irp);
  if (described == nullptr) {
    status_ = kStatusInvalidParameter;
  } else if (MethodOf(control_code) != TransferMethod::kInDirect) {
    mdl_ = described;
  } else {
    status_ = port.LockOutputForWriting(irp, &relocked_);
    mdl_ = relocked_;
  }
}

WritableOutput::~WritableOutput() {
  if (relocked_ != nullptr) port_.UnlockOutput(relocked_);
}

}  // namespace vk::drv
