// Input and output blocks of the device-control codes: the byte layouts that
// cross between user mode and the vku2cam driver. All little-endian, packed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vk {

#pragma pack(push, 1)

// Input of IOCTL_VENDOR_REQUEST. The data stage length is not in the block:
// it is the output buffer's length.
struct VendorRequestBlock {
  uint8_t direction;  // 0 host to device, otherwise device to host
  uint8_t type;       // 1 class, 2 vendor
  uint8_t recipient;  // 0 device, 1 interface, 2 endpoint, 3 other
  uint8_t reserved0;
  uint8_t request;  // bRequest
  uint8_t reserved1;
  uint16_t value;  // wValue
  uint16_t index;  // wIndex
};

// Input and, when reading, output of IOCTL_VENDOR_DEVICE_REQUEST.
struct VendorDeviceRequestBlock {
  uint8_t request;  // bRequest
  uint8_t reserved;
  uint16_t value;   // wValue
  uint16_t index;   // wIndex
  uint16_t length;  // wLength
  uint8_t direction;  // nonzero device to host
  uint8_t data;       // sent when host to device and wLength is 1
};

// Input of the isochronous codes.
struct IsoTransferRequest {
  uint32_t pipe_index;
  uint32_t packet_size;
  uint32_t packet_count;
  uint32_t packets_per_transfer;  // n
  uint32_t transfers_in_flight;   // t
};

// Input and output of IOCTL_EXCLUSIVE_ACCESS.
struct TokenBlock {
  uint8_t operation;  // 0 release, otherwise acquire
  uint8_t result;     // 1 when this camera holds the token
  uint8_t reserved[6];
};

// Output of IOCTL_GET_DRIVER_VERSION.
struct DriverVersionBlock {
  uint16_t major;
  uint16_t minor;
  uint8_t reserved[2];
  uint16_t build;
};

// Input of IOCTL_GET_STRING_DESCRIPTOR.
struct StringDescriptorRequest {
  uint8_t index;
  uint8_t reserved;
  uint16_t language_id;
};

#pragma pack(pop)

static_assert(sizeof(VendorRequestBlock) == 10);
static_assert(offsetof(VendorRequestBlock, request) == 4);
static_assert(offsetof(VendorRequestBlock, value) == 6);
static_assert(offsetof(VendorRequestBlock, index) == 8);
static_assert(sizeof(VendorDeviceRequestBlock) == 10);
static_assert(offsetof(VendorDeviceRequestBlock, value) == 2);
static_assert(offsetof(VendorDeviceRequestBlock, index) == 4);
static_assert(offsetof(VendorDeviceRequestBlock, length) == 6);
static_assert(offsetof(VendorDeviceRequestBlock, direction) == 8);
static_assert(offsetof(VendorDeviceRequestBlock, data) == 9);
static_assert(sizeof(IsoTransferRequest) == 20);
static_assert(offsetof(IsoTransferRequest, transfers_in_flight) == 16);
static_assert(sizeof(TokenBlock) == 8);
static_assert(sizeof(DriverVersionBlock) == 8);
static_assert(offsetof(DriverVersionBlock, build) == 6);
static_assert(sizeof(StringDescriptorRequest) == 4);

// The driver's version as IOCTL_GET_DRIVER_VERSION reports it.
inline constexpr DriverVersionBlock kDriverVersion = {2, 1, {0, 0}, 67};

// Encoders write exactly sizeof(block) bytes. Decoders refuse (return false,
// leaving *out untouched) unless `length` is exactly the block's size; the
// driver and the tools use them so that no handler reads past a buffer.
void Encode(const VendorRequestBlock& block, uint8_t* out);
bool Decode(const uint8_t* in, size_t length, VendorRequestBlock* out);
void Encode(const VendorDeviceRequestBlock& block, uint8_t* out);
bool Decode(const uint8_t* in, size_t length, VendorDeviceRequestBlock* out);
void Encode(const IsoTransferRequest& block, uint8_t* out);
bool Decode(const uint8_t* in, size_t length, IsoTransferRequest* out);
void Encode(const TokenBlock& block, uint8_t* out);
bool Decode(const uint8_t* in, size_t length, TokenBlock* out);
void Encode(const DriverVersionBlock& block, uint8_t* out);
bool Decode(const uint8_t* in, size_t length, DriverVersionBlock* out);
void Encode(const StringDescriptorRequest& block, uint8_t* out);
bool Decode(const uint8_t* in, size_t length, StringDescriptorRequest* out);

}  // namespace vk
