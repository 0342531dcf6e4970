// Standard USB descriptors (USB 2.0 chapter 9) and a walker over a
// configuration descriptor. Allocation-free, so the driver may use it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vk::usb {

#pragma pack(push, 1)
struct DeviceDescriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint16_t bcdUSB;
  uint8_t bDeviceClass;
  uint8_t bDeviceSubClass;
  uint8_t bDeviceProtocol;
  uint8_t bMaxPacketSize0;
  uint16_t idVendor;
  uint16_t idProduct;
  uint16_t bcdDevice;
  uint8_t iManufacturer;
  uint8_t iProduct;
  uint8_t iSerialNumber;
  uint8_t bNumConfigurations;
};

struct ConfigurationDescriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint16_t wTotalLength;
  uint8_t bNumInterfaces;
  uint8_t bConfigurationValue;
  uint8_t iConfiguration;
  uint8_t bmAttributes;
  uint8_t MaxPower;
};

struct InterfaceDescriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bInterfaceNumber;
  uint8_t bAlternateSetting;
  uint8_t bNumEndpoints;
  uint8_t bInterfaceClass;
  uint8_t bInterfaceSubClass;
  uint8_t bInterfaceProtocol;
  uint8_t iInterface;
};

struct EndpointDescriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bEndpointAddress;
  uint8_t bmAttributes;  // low two bits: 0 control, 1 iso, 2 bulk, 3 interrupt
  uint16_t wMaxPacketSize;
  uint8_t bInterval;
};
#pragma pack(pop)

static_assert(sizeof(DeviceDescriptor) == 18);
static_assert(sizeof(ConfigurationDescriptor) == 9);
static_assert(sizeof(InterfaceDescriptor) == 9);
static_assert(sizeof(EndpointDescriptor) == 7);

inline constexpr uint8_t kEndpointDirectionIn = 0x80;
inline constexpr int kAnyField = -1;

// Copies into `out` the first interface descriptor in `config` (`length`
// bytes; the descriptor's own wTotalLength is not trusted) that matches every
// field that is not kAnyField, as USBD_ParseConfigurationDescriptorEx finds
// it. False when none matches before the end or a malformed descriptor.
bool FindInterfaceDescriptor(const uint8_t* config, size_t length,
                             int interface_number, int alternate_setting,
                             InterfaceDescriptor* out);

// Copies the `k`-th endpoint descriptor of the matching interface descriptor;
// false when it does not exist.
bool FindEndpointDescriptor(const uint8_t* config, size_t length,
                            int interface_number, int alternate_setting,
                            int k, EndpointDescriptor* out);

}  // namespace vk::usb
