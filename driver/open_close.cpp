// Opening and closing the device link. Passive level.
#include "driver/driver.h"

namespace vk::drv {
namespace {

// What a handle's file object holds: the index of its read pipe in the
// interface record in force, so a new record after an interface change is
// used by every later read.
constexpr uintptr_t kReadPipeIndex = 1;

}  // namespace

void* ReadPipeContext() { return reinterpret_cast<void*>(kReadPipeIndex); }

NtStatus DispatchCreate(kernel::DeviceObject* device, kernel::Irp* irp) {
  DeviceExtension* ext = ExtensionOf(device);
  kernel::KernelPort& port = *ext->driver->port;
  kernel::FileObject* file = port.CurrentStack(irp).file;
  if (kernel::LoadByte(&ext->removing))
    return CompleteWith(port, irp, kStatusDeletePending);
  if (!kernel::LoadByte(&ext->started))
    return CompleteWith(port, irp, kStatusUnsuccessful);
  usb::PipeInformation pipe;
  if (FindPipe(ext, 0, &pipe) == PipeLookup::kNoRecord)
    return CompleteWith(port, irp, kStatusInvalidDeviceState);
  if (file == nullptr) return CompleteWith(port, irp, kStatusInvalidParameter);
  port.SetFileContext(file, ReadPipeContext());
  kernel::LockedIncrement(reinterpret_cast<volatile int32_t*>(&ext->open_handles));
  return CompleteWith(port, irp, kStatusSuccess);
}

// The last handle of a file object is closed. A pending request keeps the
// file object, and so its close, waiting; the token clean-up cannot wait for
// the close when the pending request is this file's own acquire.
NtStatus DispatchCleanup(kernel::DeviceObject* device, kernel::Irp* irp) {
  DeviceExtension* ext = ExtensionOf(device);
  kernel::KernelPort& port = *ext->driver->port;
  TokenCloseCleanup(ext, port.CurrentStack(irp).file);
  return CompleteWith(port, irp, kStatusSuccess);
}

NtStatus DispatchClose(kernel::DeviceObject* device, kernel::Irp* irp) {
  DeviceExtension* ext = ExtensionOf(device);
  kernel::KernelPort& port = *ext->driver->port;
  TokenCloseCleanup(ext, port.CurrentStack(irp).file);
  // Never below 0, even with closes racing each other.
  auto* count = reinterpret_cast<volatile int32_t*>(&ext->open_handles);
  int32_t seen = __atomic_load_n(count, __ATOMIC_ACQUIRE);
  while (seen > 0 && !__atomic_compare_exchange_n(count, &seen, seen - 1, false,
                                                  __ATOMIC_ACQ_REL,
                                                  __ATOMIC_ACQUIRE)) {
  }
  return CompleteWith(port, irp, kStatusSuccess);
}

}  // namespace vk::drv
