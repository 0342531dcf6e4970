// The simulated kernel's memory descriptor list: one virtually contiguous
// buffer, as the USB stack and the driver see it through URBs.
#pragma once

#include <cstdint>

namespace vk::usb {

struct Mdl {
  Mdl* next = nullptr;
  void* start_va = nullptr;  // start of the described range
  uint32_t byte_offset = 0;
  uint32_t byte_count = 0;
  void* mapped_system_va = nullptr;  // set once mapped into system space

  uint8_t* address() const {
    return static_cast<uint8_t*>(start_va) + byte_offset;
  }
};

}  // namespace vk::usb
