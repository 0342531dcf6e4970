// The two USBD library helpers the driver uses, written from their
// documented behaviour.
#include <cstring>

#include "common/byte_order.h"
#include "sim/kernel/sim_kernel.h"

namespace vk::sim {

const usb::InterfaceDescriptor* SimKernel::ParseConfigurationDescriptor(
    const void* config, const void* start, int interface_number,
    int alternate_setting, int interface_class, int interface_subclass,
    int interface_protocol) {
  const auto* base = static_cast<const uint8_t*>(config);
  const uint8_t* end = base + LoadLe16(base + 2);
  const uint8_t* p = static_cast<const uint8_t*>(start);
  auto matches = [](int want, uint8_t have) { return want == -1 || want == have; };
  while (p + 2 <= end && p[0] >= 2 && p + p[0] <= end) {
    if (p[1] == usb::kInterfaceDescriptorType &&
        p[0] >= sizeof(usb::InterfaceDescriptor)) {
      const auto* d = reinterpret_cast<const usb::InterfaceDescriptor*>(p);
      if (matches(interface_number, d->bInterfaceNumber) &&
          matches(alternate_setting, d->bAlternateSetting) &&
          matches(interface_class, d->bInterfaceClass) &&
          matches(interface_subclass, d->bInterfaceSubClass) &&
          matches(interface_protocol, d->bInterfaceProtocol))
        return d;
    }
    p += p[0];
  }
  return nullptr;
}

usb::UrbSelectConfiguration* SimKernel::CreateConfigurationRequest(
    const void* config, const usb::InterfaceDescriptor* interface) {
  const size_t info = usb::InterfaceInformationSize(interface->bNumEndpoints);
  const size_t size = offsetof(usb::UrbSelectConfiguration, Interface) + info;
  auto* urb = static_cast<usb::UrbSelectConfiguration*>(AllocateAccounted(size));
  if (urb == nullptr) return nullptr;
  std::memset(urb, 0, size);
  urb->Hdr.Length = static_cast<uint16_t>(size);
  urb->Hdr.Function = usb::kUrbFunctionSelectConfiguration;
  urb->ConfigurationDescriptor = const_cast<void*>(config);
  urb->Interface.Length = static_cast<uint16_t>(info);
  urb->Interface.InterfaceNumber = interface->bInterfaceNumber;
  urb->Interface.AlternateSetting = interface->bAlternateSetting;
  urb->Interface.NumberOfPipes = interface->bNumEndpoints;
  for (uint8_t i = 0; i < interface->bNumEndpoints; ++i)
    urb->Interface.Pipes[i].MaximumTransferSize = 0x1000;  // USBD default
  return urb;
}

}  // namespace vk::sim
