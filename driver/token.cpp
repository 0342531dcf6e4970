// The camera access token: one for all cameras of the driver. At most one
// camera holds it; the others wait in an 8-slot ring (7 usable) in the order
// they asked. The access lock guards the owner, the ring and every camera's
// token fields; no request is completed while it is held. A queued request is
// either granted or cancelled, never both: whoever takes its cancel routine
// away with the atomic exchange completes it.
#include "common/wire_blocks.h"
#include "driver/driver.h"

namespace vk::drv {
namespace {

using kernel::KernelPort;

constexpr uint8_t kRingSlots = 8;
constexpr uint32_t kBlockBytes = sizeof(TokenBlock);

uint8_t Advance(uint8_t index) {
  return static_cast<uint8_t>((index + 1) % kRingSlots);
}

void CompleteToken(KernelPort& port, kernel::Irp* irp, uint8_t held,
                   NtStatus status) {
  auto* block = static_cast<uint8_t*>(port.SystemBuffer(irp));
  block[1] = held;
  CompleteWith(port, irp, status, kBlockBytes);
}

// Under the access lock: forgets the camera's waiting request and empties
// its ring slots (slots are not compacted).
void ForgetWaiter(TokenState& token, DeviceExtension* ext) {
  ext->waiting_token_request = nullptr;
  ext->waiting_token_file = nullptr;
  for (DeviceExtension*& slot : token.ring) {
    if (slot == ext) slot = nullptr;
  }
}

// The waiter's request is ours to complete (its cancel routine was taken
// away): it ends cancelled and leaves its pending-I/O count.
// Completed first: once the count is left, removal may free `ext`.
void CompleteCancelled(DeviceExtension* ext, kernel::Irp* irp) {
  CompleteWith(*ext->driver->port, irp, kStatusCancelled, 0);
  LeaveIo(ext);
}

void TokenCancel(kernel::DeviceObject* device, kernel::Irp* irp) {
  DeviceExtension* ext = ExtensionOf(device);
  KernelPort& port = *ext->driver->port;
  TokenState& token = ext->driver->token;
  const kernel::Irql irql = port.AcquireSpinLock(&token.access_lock);
  if (ext->waiting_token_request == irp) ForgetWaiter(token, ext);
  port.ReleaseSpinLock(&token.access_lock, irql);
  port.ReleaseCancelLock(irp);
  CompleteCancelled(ext, irp);
}

// Under the access lock: takes a waiter's request out of the hands of the
// cancel routine. Null when it is already being cancelled.
kernel::Irp* ClaimWaiter(KernelPort& port, TokenState& token,
                         DeviceExtension* ext) {
  kernel::Irp* irp = ext->waiting_token_request;
  if (irp == nullptr || port.ExchangeCancelRoutine(irp, nullptr) == nullptr)
    return nullptr;
  ForgetWaiter(token, ext);
  return irp;
}

}  // namespace

NtStatus AcquireToken(DeviceExtension* ext, kernel::Irp* irp) {
  KernelPort& port = *ext->driver->port;
  TokenState& token = ext->driver->token;
  kernel::FileObject* file = port.CurrentStack(irp).file;
  const kernel::Irql irql = port.AcquireSpinLock(&token.access_lock);
  uint8_t held = 0;
  NtStatus status = kStatusUnsuccessful;
  if (ext->token_held) {
    held = 1;
  } else if (ext->waiting_token_request != nullptr) {
    held = 0;
  } else if (token.owner == nullptr) {
    token.owner = ext;
    token.owner_file = file;
    ext->token_held = 1;
    held = 1;
    status = kStatusSuccess;
  } else if (Advance(token.tail) != token.head) {
    token.ring[token.tail] = ext;
    token.tail = Advance(token.tail);
    ext->waiting_token_request = irp;
    ext->waiting_token_file = file;
    port.MarkPending(irp);
    port.ExchangeCancelRoutine(irp, &TokenCancel);
    status = kStatusPending;
  }
  // A request cancelled before its cancel routine was set is ours to end.
  kernel::Irp* cancelled = nullptr;
  if (status == kStatusPending && port.IsCancelled(irp))
    cancelled = ClaimWaiter(port, token, ext);
  port.ReleaseSpinLock(&token.access_lock, irql);
  if (cancelled != nullptr) {
    CompleteCancelled(ext, cancelled);
    return kStatusPending;
  }
  if (status != kStatusPending) CompleteToken(port, irp, held, status);
  return status;
}

NtStatus ReleaseToken(DeviceExtension* ext) {
  KernelPort& port = *ext->driver->port;
  TokenState& token = ext->driver->token;
  const kernel::Irql irql = port.AcquireSpinLock(&token.access_lock);
  if (!ext->token_held) {
    port.ReleaseSpinLock(&token.access_lock, irql);
    return kStatusSuccess;
  }
  if (token.owner != ext) {
    port.ReleaseSpinLock(&token.access_lock, irql);
    return kStatusUnsuccessful;
  }
  ext->token_held = 0;
  token.owner = nullptr;
  token.owner_file = nullptr;
  DeviceExtension* granted = nullptr;
  kernel::Irp* request = nullptr;
  while (token.head != token.tail && request == nullptr) {
    DeviceExtension* next = token.ring[token.head];
    token.ring[token.head] = nullptr;
    token.head = Advance(token.head);
    if (next == nullptr) continue;
    kernel::FileObject* file = next->waiting_token_file;
    request = ClaimWaiter(port, token, next);
    if (request == nullptr) continue;
    granted = next;
    token.owner = next;
    token.owner_file = file;
    next->token_held = 1;
  }
  port.ReleaseSpinLock(&token.access_lock, irql);
  if (request != nullptr) {
    CompleteToken(port, request, 1, kStatusSuccess);
    LeaveIo(granted);
  }
  return kStatusSuccess;
}

void TokenCloseCleanup(DeviceExtension* ext, kernel::FileObject* file) {
  KernelPort& port = *ext->driver->port;
  TokenState& token = ext->driver->token;
  kernel::Irql irql = port.AcquireSpinLock(&token.access_lock);
  const bool owner = token.owner_file == file && token.owner == ext;
  port.ReleaseSpinLock(&token.access_lock, irql);
  if (owner) {
    ReleaseToken(ext);
    return;
  }
  // A waiting acquire that came through this file is cancelled. Claimed
  // under the lock, so a grant racing with the close cannot complete it too.
  irql = port.AcquireSpinLock(&token.access_lock);
  kernel::Irp* irp = ext->waiting_token_file == file
                         ? ClaimWaiter(port, token, ext)
                         : nullptr;
  port.ReleaseSpinLock(&token.access_lock, irql);
  if (irp != nullptr) CompleteCancelled(ext, irp);
}

void CancelWaitingAcquire(DeviceExtension* ext) {
  KernelPort& port = *ext->driver->port;
  TokenState& token = ext->driver->token;
  const kernel::Irql irql = port.AcquireSpinLock(&token.access_lock);
  kernel::Irp* irp = ClaimWaiter(port, token, ext);
  port.ReleaseSpinLock(&token.access_lock, irql);
  if (irp != nullptr) CompleteCancelled(ext, irp);
}

}  // namespace vk::drv
