// NTSTATUS and USBD status values used by the driver, the simulated kernel
// and the simulated USB stack. Named after Windows' constants; kept in our
// namespace so that they never collide with the DDK's macros.
#pragma once

#include <cstdint>

namespace vk {

using NtStatus = int32_t;
using UsbdStatus = int32_t;

constexpr NtStatus MakeNtStatus(uint32_t v) { return static_cast<NtStatus>(v); }
constexpr bool NtSuccess(NtStatus s) { return s >= 0; }

// clang-format off
inline constexpr NtStatus kStatusSuccess                = 0;
inline constexpr NtStatus kStatusPending                = 0x103;
inline constexpr NtStatus kStatusMoreProcessingRequired = MakeNtStatus(0xC0000016);
inline constexpr NtStatus kStatusUnsuccessful           = MakeNtStatus(0xC0000001);
inline constexpr NtStatus kStatusInvalidHandle          = MakeNtStatus(0xC0000008);
inline constexpr NtStatus kStatusInvalidParameter       = MakeNtStatus(0xC000000D);
inline constexpr NtStatus kStatusNoSuchDevice           = MakeNtStatus(0xC000000E);
inline constexpr NtStatus kStatusInvalidDeviceRequest   = MakeNtStatus(0xC0000010);
inline constexpr NtStatus kStatusKeyDeleted             = MakeNtStatus(0xC000017C);
inline constexpr NtStatus kStatusCannotDelete           = MakeNtStatus(0xC0000121);
inline constexpr NtStatus kStatusNoMemory               = MakeNtStatus(0xC0000017);
inline constexpr NtStatus kStatusBufferTooSmall         = MakeNtStatus(0xC0000023);
inline constexpr NtStatus kStatusObjectNameNotFound     = MakeNtStatus(0xC0000034);
inline constexpr NtStatus kStatusObjectNameCollision    = MakeNtStatus(0xC0000035);
inline constexpr NtStatus kStatusDeletePending          = MakeNtStatus(0xC0000056);
inline constexpr NtStatus kStatusInsufficientResources  = MakeNtStatus(0xC000009A);
inline constexpr NtStatus kStatusDeviceDataError        = MakeNtStatus(0xC000009C);
inline constexpr NtStatus kStatusDeviceNotConnected     = MakeNtStatus(0xC000009D);
inline constexpr NtStatus kStatusNotSupported           = MakeNtStatus(0xC00000BB);
inline constexpr NtStatus kStatusCancelled              = MakeNtStatus(0xC0000120);
inline constexpr NtStatus kStatusInvalidDeviceState     = MakeNtStatus(0xC0000184);
inline constexpr NtStatus kStatusIoTimeout              = MakeNtStatus(0xC00000B5);

constexpr UsbdStatus MakeUsbdStatus(uint32_t v) { return static_cast<UsbdStatus>(v); }
constexpr bool UsbdSuccess(UsbdStatus s) { return s >= 0; }

inline constexpr UsbdStatus kUsbdStatusSuccess             = 0;
inline constexpr UsbdStatus kUsbdStatusPending             = 0x40000000;
inline constexpr UsbdStatus kUsbdStatusCrc                 = MakeUsbdStatus(0xC0000001);
inline constexpr UsbdStatus kUsbdStatusStallPid            = MakeUsbdStatus(0xC0000004);
inline constexpr UsbdStatus kUsbdStatusDataOverrun         = MakeUsbdStatus(0xC0000008);
inline constexpr UsbdStatus kUsbdStatusBufferOverrun       = MakeUsbdStatus(0xC000000C);
inline constexpr UsbdStatus kUsbdStatusBabbleDetected      = MakeUsbdStatus(0xC0000012);
inline constexpr UsbdStatus kUsbdStatusEndpointHalted      = MakeUsbdStatus(0xC0000030);
inline constexpr UsbdStatus kUsbdStatusInvalidUrbFunction  = MakeUsbdStatus(0x80000200);
inline constexpr UsbdStatus kUsbdStatusInvalidParameter    = MakeUsbdStatus(0x80000300);
inline constexpr UsbdStatus kUsbdStatusInvalidPipeHandle   = MakeUsbdStatus(0x80000600);
inline constexpr UsbdStatus kUsbdStatusInvalidConfigurationDescriptor = MakeUsbdStatus(0x80000400);
inline constexpr UsbdStatus kUsbdStatusNoBandwidth         = MakeUsbdStatus(0x80000700);
inline constexpr UsbdStatus kUsbdStatusCanceled            = MakeUsbdStatus(0xC0010000);
inline constexpr UsbdStatus kUsbdStatusDeviceGone          = MakeUsbdStatus(0xC0007000);
inline constexpr UsbdStatus kUsbdStatusIsoNotAccessedByHw  = MakeUsbdStatus(0xC0020000);
// clang-format on

}  // namespace vk
