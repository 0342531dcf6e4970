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
  // The pending-I/O count keeps removal from freeing the interface record
  // while the open looks at it.
  if (!EnterIo(ext)) return CompleteWith(port, irp, kStatusDeletePending);
  NtStatus status = kStatusSuccess;
  usb::PipeInformation pipe;
  if (!kernel::LoadByte(&ext->started)) {
    status = kStatusUnsuccessful;
  } else if (FindPipe(ext, 0, &pipe) == PipeLookup::kNoRecord) {
    status = kStatusInvalidDeviceState;
  } else if (file == nullptr) {
    status = kStatusInvalidParameter;
  } else {
    port.SetFileContext(file, ReadPipeContext());
    kernel::LockedIncrement(
        reinterpret_cast<volatile int32_t*>(&ext->open_handles));
  }
  // Completed before the count is left, so removal never deletes the device
  // under a request it still holds.
  const NtStatus result = CompleteWith(port, irp, status);
  LeaveIo(ext);
  return result;
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
  while (seen > 0 &&
         !__atomic_compare_exchange_n(count, &seen, seen - 1, false,
                                      __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
  }
  return CompleteWith(port, irp, kStatusSuccess);
}

}  // namespace vk::drv
