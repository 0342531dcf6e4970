// CCameraDevice::ReadFrame: a whole raw frame from overlapped chunk reads of
// 128 rows, four in flight. The camera ends every frame with a short (or
// zero-length) transfer: a good frame is its whole chunks followed by one
// read of exactly the remaining bytes. A frame entered in the middle is
// realigned on its first short read; a second short read makes it bad.
#include <cstring>

#include "sdk/core/camera_device.h"

namespace vk {
namespace {

// The read slots of one call: their OVERLAPPED and events live for the call.
class ReadSlots {
 public:
  ReadSlots(HANDLE link, std::unique_ptr<uint8_t[]>* buffers, int count,
            DWORD chunk)
      : link_(link), buffers_(buffers), count_(count), chunk_(chunk) {
    for (int i = 0; i < count_; ++i) {
      std::memset(&overlapped_[i], 0, sizeof(OVERLAPPED));
      overlapped_[i].hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
  }
  ~ReadSlots() {
    for (int i = 0; i < count_; ++i) CloseHandle(overlapped_[i].hEvent);
  }

  // A read the driver refuses at once (as it does every read once the
  // camera is gone) leaves its OVERLAPPED and event untouched: waiting for
  // it would never end, so the refusal is remembered instead.
  void Issue(int slot) {
    refused_[slot] = !ReadFile(link_, buffers_[slot].get(), chunk_, nullptr,
                               &overlapped_[slot]) &&
                     GetLastError() != ERROR_IO_PENDING;
  }
  // Waits for the slot's read; false when it failed.
  bool Wait(int slot, DWORD* bytes) {
    *bytes = 0;
    if (refused_[slot]) return false;
    return GetOverlappedResult(link_, &overlapped_[slot], bytes, TRUE) != 0;
  }
  const uint8_t* Data(int slot) const { return buffers_[slot].get(); }
  int Next(int slot, int steps = 1) const { return (slot + steps) % count_; }

 private:
  HANDLE link_;
  std::unique_ptr<uint8_t[]>* buffers_;
  const int count_;
  const DWORD chunk_;
  OVERLAPPED overlapped_[kReadSlots];
  bool refused_[kReadSlots] = {};
};

}  // namespace

int CCameraDevice::ReadFrame(uint8_t* buffer) {
  const uint32_t chunk = chunk_size_;
  if (chunk == 0) return -1;
  const uint32_t needed = frame_size_ / chunk + 1;
  const uint32_t remainder = frame_size_ % chunk;
  // A small region of interest needs fewer reads than there are slots: in
  // flight are never more reads than the frame takes, or its own final
  // short read would be taken for a realignment and no frame would be good.
  const int window = needed < kReadSlots ? static_cast<int>(needed) : kReadSlots;
  ReadSlots slots(handle_, slots_, window, chunk);
  for (int s = 0; s < window; ++s) slots.Issue(s);
  uint32_t issued = window, completed = 0;
  int slot = 0, result = -1;
  bool resynchronised = false;
  uint8_t* destination = buffer;
  while (completed < issued) {
    ++completed;
    DWORD bytes = 0;
    if (!slots.Wait(slot, &bytes)) break;
    if (completed == issued) {
      // The last read of the frame: exactly the remainder ends it well.
      result = bytes == remainder ? 1 : 0;
      if (result == 1 && remainder != 0)
        std::memcpy(destination, slots.Data(slot), remainder);
      break;
    }
    if (bytes == chunk) {
      std::memcpy(destination, slots.Data(slot), chunk);
      destination += chunk;
      if (issued < needed) {
        slots.Issue(slot);
        ++issued;
      }
    } else if (resynchronised) {
      result = 0;
      break;
    } else {
      // The reads behind this one already carry the next frame: fill the
      // window up again behind them, in cyclic order, and start over.
      const int in_flight = static_cast<int>(issued - completed);
      for (int k = in_flight + 1; k <= window; ++k) slots.Issue(slots.Next(slot, k));
      issued = window;
      completed = 0;
      destination = buffer;
      resynchronised = true;
    }
    slot = slots.Next(slot);
  }
  if (result != 1) {
    // Let the reads still in flight finish before their slots go away.
    const int in_flight = static_cast<int>(issued - completed);
    for (int k = 1; k <= in_flight; ++k) {
      DWORD bytes = 0;
      slots.Wait(slots.Next(slot, k), &bytes);
    }
  }
  return result;
}

}  // namespace vk
