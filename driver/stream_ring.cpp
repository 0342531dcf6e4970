// The rings of a running isochronous stream, written by the stream's
// completion routines and read by IOCTL_READ_ISO_BUFFER. Nothing makes
// either side single: slots complete on any processor and two handles may
// read at once, so each append or take (positions, count and copy) runs
// whole under the ring's spin lock. The copies touch only non-paged pool and
// locked pages, which is allowed at dispatch level.
#include "driver/driver.h"

namespace vk::drv {

StreamRing* NewStreamRing(kernel::KernelPort& port, uint32_t capacity) {
  auto* ring =
      static_cast<StreamRing*>(port.AllocateNonPaged(sizeof(StreamRing)));
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
  const kernel::Irql irql = port.AcquireSpinLock(&ring->lock);
  if (ring->capacity - ring->in_use < k) {  // never split
    port.ReleaseSpinLock(&ring->lock, irql);
    return 0;
  }
  const uint32_t first = ring->capacity - ring->write_position < k
                             ? ring->capacity - ring->write_position
                             : k;
  __builtin_memcpy(ring->buffer + ring->write_position, bytes, first);
  __builtin_memcpy(ring->buffer, bytes + first, k - first);
  ring->write_position = first == k ? ring->write_position + k : k - first;
  if (ring->write_position == ring->capacity) ring->write_position = 0;
  ring->in_use += k;
  port.ReleaseSpinLock(&ring->lock, irql);
  return k;
}

uint32_t RingTake(kernel::KernelPort& port, StreamRing* ring, uint8_t* dest,
                  uint32_t k) {
  const kernel::Irql irql = port.AcquireSpinLock(&ring->lock);
  const uint32_t available = ring->in_use;
  if (k > ring->capacity || available == 0) {
    port.ReleaseSpinLock(&ring->lock, irql);
    return 0;
  }
  const uint32_t n = k < available ? k : available;
  const uint32_t first = ring->capacity - ring->read_position < n
                             ? ring->capacity - ring->read_position
                             : n;
  __builtin_memcpy(dest, ring->buffer + ring->read_position, first);
  __builtin_memcpy(dest + first, ring->buffer, n - first);
  ring->read_position = first == n ? ring->read_position + n : n - first;
  if (ring->read_position == ring->capacity) ring->read_position = 0;
  ring->in_use -= n;
  port.ReleaseSpinLock(&ring->lock, irql);
  return n;
}

}  // namespace vk::drv
