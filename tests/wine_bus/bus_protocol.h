// The control device of the virtual USB bus (vkusbbus.sys) and the camera
// program behind it (vkbusctl.exe): the bus hands each request of a camera's
// function driver to the program and completes it with the program's
// answer, the way a virtual host controller bridges USB to user mode.
// Shared by the kernel driver and the program, so it uses nothing but
// fixed-size integers.
#pragma once

#include <stdint.h>

namespace vk::winebus {

inline constexpr wchar_t kControlDeviceName[] = L"\\Device\\VkUsbBus";
inline constexpr wchar_t kControlLinkName[] = L"\\DosDevices\\VkUsbBus";
inline constexpr wchar_t kControlPath[] = L"\\\\.\\VkUsbBus";

// Ports of the root hub: a camera's link number does not depend on its port.
inline constexpr uint32_t kPorts = 4;

// CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900 + n, METHOD_BUFFERED, FILE_ANY_ACCESS)
constexpr uint32_t BusControlCode(uint32_t n) { return (0x22u << 16) | ((0x900u + n) << 2); }
// in: PortRequest. The camera on the port appears on the bus.
inline constexpr uint32_t kIoctlPlug = BusControlCode(0);
// in: PortRequest. The camera leaves: its requests fail as a gone device's.
inline constexpr uint32_t kIoctlUnplug = BusControlCode(1);
// out: RequestHeader, the URB's bytes, then the data going to the device.
// Pends until the bus has a request.
inline constexpr uint32_t kIoctlGetRequest = BusControlCode(2);
// in: CompletionHeader, the URB's bytes, then the data coming from the device.
inline constexpr uint32_t kIoctlComplete = BusControlCode(3);

struct PortRequest {
  uint32_t port;
};

enum class RequestKind : uint32_t {
  kUrb = 0,     // IOCTL_INTERNAL_USB_SUBMIT_URB
  kReset = 1,   // IOCTL_INTERNAL_USB_RESET_PORT
  kCancel = 2,  // the request `tag` was cancelled; it still gets its answer
};

struct RequestHeader {
  uint64_t tag;
  uint32_t port;
  RequestKind kind;
  uint32_t urb_length;   // bytes of the URB that follow (8-byte aligned)
  uint32_t data_length;  // bytes of outgoing data after the URB
};

struct CompletionHeader {
  uint64_t tag;
  int32_t status;        // NTSTATUS of the request
  uint32_t urb_length;   // the URB as the device left it
  uint32_t data_length;  // incoming data after the URB
  uint32_t reserved;
};

constexpr uint32_t Padded(uint32_t bytes) { return (bytes + 7u) & ~7u; }

// A request's room in a GetRequest buffer the program offers.
inline constexpr uint32_t kRequestBufferBytes = 1u << 20;

}  // namespace vk::winebus
