// The virtual USB bus (vkusbbus.sys), its control device and the camera
// library it runs the cameras in (vkbuscam.dll). Shared by the kernel
// driver, the library and vkbusctl.exe, so it uses nothing but fixed-size
// integers.
#pragma once

#include <stdint.h>

namespace vk::winebus {

inline constexpr wchar_t kControlDeviceName[] = L"\\Device\\VkUsbBus";
inline constexpr wchar_t kControlLinkName[] = L"\\DosDevices\\VkUsbBus";
inline constexpr wchar_t kControlPath[] = L"\\\\.\\VkUsbBus";
inline constexpr wchar_t kCameraLibrary[] = L"vkbuscam.dll";

// Ports of the root hub: a camera's link number does not depend on its port.
inline constexpr uint32_t kPorts = 4;

// CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900 + n, METHOD_BUFFERED, FILE_ANY_ACCESS)
constexpr uint32_t BusControlCode(uint32_t n) { return (0x22u << 16) | ((0x900u + n) << 2); }
// in: PortRequest. A camera is plugged into the port.
inline constexpr uint32_t kIoctlPlug = BusControlCode(0);
// in: PortRequest. The port's camera leaves: its requests fail as a gone
// device's.
inline constexpr uint32_t kIoctlUnplug = BusControlCode(1);

struct PortRequest {
  uint32_t port;
  uint32_t noise;  // 0: the camera's sensor noise is off
};

}  // namespace vk::winebus

// The camera library's entry points (C, looked up by name). Each port holds
// at most one simulated camera; URBs are in the layout of 64-bit Windows
// with a virtual transfer buffer (no MDL).
extern "C" {
// Called exactly once per submitted URB with its NTSTATUS, the URB's status
// and lengths filled in; possibly before VkBusCamSubmit returns.
typedef void (*VkBusCamDone)(void* context, int32_t status);
typedef int32_t (*VkBusCamPlugFn)(uint32_t port, uint32_t noise);
typedef void (*VkBusCamUnplugFn)(uint32_t port);
typedef void (*VkBusCamSubmitFn)(uint32_t port, void* urb, VkBusCamDone done, void* context);
typedef void (*VkBusCamCancelFn)(uint32_t port, const void* urb);
typedef int32_t (*VkBusCamResetPortFn)(uint32_t port);
}
