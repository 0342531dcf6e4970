#include <cstring>

#include "common/usb/descriptors.h"
#include "common/usb/urb.h"

namespace vk::usb {
namespace {

// Walks the descriptors of a configuration, refusing any whose length would
// leave the buffer or is shorter than a descriptor header.
class DescriptorWalker {
 public:
  DescriptorWalker(const uint8_t* data, size_t length)
      : data_(data), length_(length) {}

  // Next descriptor or nullptr at the end (or at a malformed descriptor).
  const uint8_t* Next() {
    if (data_ == nullptr || offset_ + 2 > length_) return nullptr;
    const uint8_t* d = data_ + offset_;
    if (d[0] < 2 || offset_ + d[0] > length_) return nullptr;
    offset_ += d[0];
    return d;
  }

 private:
  const uint8_t* data_;
  size_t length_;
  size_t offset_ = 0;
};

bool Matches(const InterfaceDescriptor& d, int number, int alternate) {
  return (number == kAnyField || d.bInterfaceNumber == number) &&
         (alternate == kAnyField || d.bAlternateSetting == alternate);
}

}  // namespace

bool FindInterfaceDescriptor(const uint8_t* config, size_t length,
                             int interface_number, int alternate_setting,
                             InterfaceDescriptor* out) {
  DescriptorWalker walker(config, length);
  while (const uint8_t* d = walker.Next()) {
    if (d[1] != kInterfaceDescriptorType || d[0] < sizeof(InterfaceDescriptor))
      continue;
    InterfaceDescriptor candidate;
    std::memcpy(&candidate, d, sizeof(candidate));
    if (Matches(candidate, interface_number, alternate_setting)) {
      *out = candidate;
      return true;
    }
  }
  return false;
}

bool FindEndpointDescriptor(const uint8_t* config, size_t length,
                            int interface_number, int alternate_setting,
                            int k, EndpointDescriptor* out) {
  DescriptorWalker walker(config, length);
  bool inside = false;
  int seen = 0;
  while (const uint8_t* d = walker.Next()) {
    if (d[1] == kInterfaceDescriptorType && d[0] >= sizeof(InterfaceDescriptor)) {
      if (inside) return false;
      InterfaceDescriptor i;
      std::memcpy(&i, d, sizeof(i));
      inside = Matches(i, interface_number, alternate_setting);
      continue;
    }
    if (!inside || d[1] != kEndpointDescriptorType ||
        d[0] < sizeof(EndpointDescriptor))
      continue;
    if (seen++ == k) {
      std::memcpy(out, d, sizeof(*out));
      return true;
    }
  }
  return false;
}

}  // namespace vk::usb
