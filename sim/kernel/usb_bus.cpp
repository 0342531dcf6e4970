#include "sim/kernel/usb_bus.h"

#include <cstdio>

#include "common/control_codes.h"

namespace vk::sim {
namespace {

// Cancels the URB of a request pending on the bus. Runs with the cancel
// lock held, which keeps the request from completing until it is released.
void CancelUrb(kernel::DeviceObject* device, kernel::Irp* irp) {
  SimKernel& kernel = *device->kernel;
  auto* urb = static_cast<usb::UrbHeader*>(kernel.CurrentStack(irp).argument1);
  // The request completes (and may be freed) inside Cancel: its level is
  // read first.
  const kernel::Irql level = irp->cancel_irql;
  device->bus->usb().Cancel(urb);
  kernel.ReleaseCancelLockAt(level);
}

std::u16string HardwareIdOf(const Camera& camera) {
  char id[64];
  std::snprintf(id, sizeof(id), "USB\\VID_%04X&PID_%04X&REV_0001",
                camera.options().vendor_id, camera.options().product_id);
  return Utf16(id);
}

}  // namespace

UsbBusDevice::UsbBusDevice(SimKernel& kernel, std::shared_ptr<UsbDevice> usb,
                           int index, std::u16string hardware_id)
    : kernel_(kernel),
      usb_(std::move(usb)),
      hardware_id_(hardware_id.empty() ? HardwareIdOf(usb_->camera())
                                       : std::move(hardware_id)),
      pdo_(kernel.CreateBusDevice(
          this, u"\\Device\\USBPDO-" + Utf16(std::to_string(index)))) {}

UsbBusDevice::~UsbBusDevice() { Retire(); }

void UsbBusDevice::Retire() {
  if (pdo_ != nullptr) kernel_.DeleteDevice(pdo_);
  pdo_ = nullptr;
}

NtStatus UsbBusDevice::Dispatch(kernel::DeviceObject*, kernel::Irp* irp) {
  const kernel::StackLocation s = kernel_.CurrentStack(irp);
  NtStatus status = kStatusSuccess;
  switch (s.major) {
    case kernel::kIrpMjInternalDeviceControl:
      return InternalRequest(irp);
    case kernel::kIrpMjPnp:
      return Pnp(irp);
    case kernel::kIrpMjPower:
      if (s.minor == kernel::kIrpMnSetPower &&
          s.power_type == kernel::PowerType::kDevice)
        kernel_.SetPowerState(pdo_, kernel::PowerType::kDevice, s.power_state);
      break;
    default:
      status = kStatusInvalidDeviceRequest;
  }
  kernel_.SetStatus(irp, status, 0);
  CompleteAtDispatch(irp);
  return status;
}

// A bus driver finishes power and plug-and-play requests from its own DPC
// as often as not: the completion routines above run at dispatch level.
void UsbBusDevice::CompleteAtDispatch(kernel::Irp* irp) {
  const kernel::Irql previous = verifier::Raise(kDispatchLevel);
  kernel_.CompleteRequest(irp);
  verifier::Lower(previous);
}

NtStatus UsbBusDevice::InternalRequest(kernel::Irp* irp) {
  const kernel::StackLocation s = kernel_.CurrentStack(irp);
  if (s.control_code == IOCTL_INTERNAL_USB_RESET_PORT) {
    const NtStatus status = usb_->ResetPort();
    kernel_.SetStatus(irp, status, 0);
    kernel_.CompleteRequest(irp);
    return status;
  }
  if (s.control_code != IOCTL_INTERNAL_USB_SUBMIT_URB) {
    kernel_.SetStatus(irp, kStatusInvalidDeviceRequest, 0);
    kernel_.CompleteRequest(irp);
    return kStatusInvalidDeviceRequest;
  }
  {
    std::lock_guard lock(observer_mutex_);
    if (observer_) observer_(*static_cast<usb::UrbHeader*>(s.argument1));
  }
  // A stopped device fails the URB at once, inside the call.
  if (stopped_) {
    kernel_.SetStatus(irp, kStatusInvalidDeviceState, 0);
    kernel_.CompleteRequest(irp);
    return kStatusInvalidDeviceState;
  }
  // Marked pending before the URB goes out: it may complete on the host's
  // thread before Submit returns.
  kernel_.MarkPending(irp);
  kernel_.ExchangeCancelRoutine(irp, &CancelUrb);
  if (irp->cancel && kernel_.ExchangeCancelRoutine(irp, nullptr) != nullptr) {
    kernel_.SetStatus(irp, kStatusCancelled, 0);
    kernel_.CompleteRequest(irp);
    return kStatusPending;
  }
  SimKernel* kernel = &kernel_;
  usb_->Submit(static_cast<usb::UrbHeader*>(s.argument1),
               [kernel, irp](NtStatus status) {
                 kernel->CompleteFromBus(irp, status, 0);
               });
  return kStatusPending;
}

NtStatus UsbBusDevice::Pnp(kernel::Irp* irp) {
  const kernel::StackLocation s = kernel_.CurrentStack(irp);
  NtStatus status = kernel_.Status(irp).status;
  switch (s.minor) {
    case kernel::kIrpMnStartDevice:
      status = refused_start_.exchange(kStatusSuccess);
      stopped_ = false;
      break;
    case kernel::kIrpMnStopDevice:
      stopped_ = true;
      status = kStatusSuccess;
      break;
    case kernel::kIrpMnRemoveDevice:
    case kernel::kIrpMnSurpriseRemoval:
      status = kStatusSuccess;
      break;
    case kernel::kIrpMnQueryCapabilities:
      if (auto* caps = static_cast<kernel::DeviceCapabilities*>(s.argument1))
        caps->removable = true;
      status = kStatusSuccess;
      break;
    default:
      break;  // not ours to answer: the status stays as it came
  }
  kernel_.SetStatus(irp, status, kernel_.Status(irp).information);
  CompleteAtDispatch(irp);
  return status;
}

}  // namespace vk::sim

namespace vk::sim {

void UsbBusDevice::SetUrbObserver(
    std::function<void(const usb::UrbHeader&)> observer) {
  std::lock_guard lock(observer_mutex_);
  observer_ = std::move(observer);
}

}  // namespace vk::sim
