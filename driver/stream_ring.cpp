// The rings of a running isochronous stream: one writer (the stream's
// completion routines), one reader (IOCTL_READ_ISO_BUFFER). The writer alone
// moves the write position, the reader alone the read position; only the
// bytes in use are shared, under the ring's spin lock.
#include "driver/driver.h"

namespace vk::drv {
namespace {

uint32_t InUse(kernel::KernelPort& port, StreamRing* ring) {
  const kernel::Irql irql = port.AcquireSpinLock(&ring->lock);
  const uint32_t n = ring->in_use;
  port.ReleaseSpinLock(&ring->lock, irql);
  return n;
}

}  // namespace

StreamRing* NewStreamRing(kernel::KernelPort& port, uint32_t capacity) {
  auto* ring = static_cast<StreamRing*>(port.AllocateNonPaged(sizeof(StreamRing)));
  if (ring == nullptr) return nullptr;
  __builtin_memset(ring, 0, sizeof(*ring));
  ring->buffer = static_cast<uint8_t*>(port.AllocateNonPaged(capacity));
  if (ring->buffer == nullptr) {
    port.FreePool(ring);
    return nullptr;
  }
  ring->capacity = capacity;
  port.InitializeSpinLock(&ring->lock);
  return ring;
}

void FreeStreamRing(kernel::KernelPort& port, StreamRing* ring) {
  if (ring == nullptr) return;
  port.FreePool(ring->buffer);
  port.FreePool(ring);
}

uint32_t RingAppend(kernel::KernelPort& port, StreamRing* ring,
                    const uint8_t* bytes, uint32_t k) {
  if (ring->capacity - InUse(port, ring) < k) return 0;  // never split
  const uint32_t first = ring->capacity - ring->write_position < k
                             ? ring->capacity - ring->write_position
                             : k;
  __builtin_memcpy(ring->buffer + ring->write_position, bytes, first);
  __builtin_memcpy(ring->buffer, bytes + first, k - first);
  ring->write_position = first == k ? ring->write_position + k : k - first;
  if (ring->write_position == ring->capacity) ring->write_position = 0;
  const kernel::Irql irql = port.AcquireSpinLock(&ring->lock);
  ring->in_use += k;
  port.ReleaseSpinLock(&ring->lock, irql);
  return k;
}

uint32_t RingTake(kernel::KernelPort& port, StreamRing* ring, uint8_t* dest,
                  uint32_t k) {
  const uint32_t available = InUse(port, ring);
  if (k > ring->capacity || available == 0) return 0;
  const uint32_t n = k < available ? k : available;
  const uint32_t first = ring->capacity - ring->read_position < n
                             ? ring->capacity - ring->read_position
                             : n;
  __builtin_memcpy(dest, ring->buffer + ring->read_position, first);
  __builtin_memcpy(dest + first, ring->buffer, n - first);
  ring->read_position = first == n ? ring->read_position + n : n - first;
  if (ring->read_position == ring->capacity) ring->read_position = 0;
  const kernel::Irql irql = port.AcquireSpinLock(&ring->lock);
  ring->in_use -= n;
  port.ReleaseSpinLock(&ring->lock, irql);
  return n;
}

}  // namespace vk::drv
