// Device-control codes of the "\\.\trq5c-N" device link: the contract between
// the vku2cam driver and every user-mode component (SDK, TWAIN source, tools).
#pragma once

#include <cstdint>

namespace vk {

// Transfer methods of a control code (its low two bits), as Windows names them.
enum class TransferMethod : uint32_t {
  kBuffered = 0,   // one system buffer carries input in and output back
  kInDirect = 1,   // input in the system buffer, output described by an MDL
  kOutDirect = 2,  // as kInDirect; the MDL is written by the driver
  kNeither = 3,
};

inline constexpr uint32_t kFileDeviceUnknown = 0x22;
inline constexpr uint32_t kFileAnyAccess = 0;

constexpr uint32_t CtlCode(uint32_t device_type, uint32_t function,
                           TransferMethod method, uint32_t access) {
  return (device_type << 16) | (access << 14) | (function << 2) |
         static_cast<uint32_t>(method);
}

constexpr uint32_t DeviceCode(uint32_t function, TransferMethod method) {
  return CtlCode(kFileDeviceUnknown, function, method, kFileAnyAccess);
}

constexpr TransferMethod MethodOf(uint32_t code) {
  return static_cast<TransferMethod>(code & 3u);
}

constexpr uint32_t FunctionOf(uint32_t code) { return (code >> 2) & 0xFFFu; }

using M = TransferMethod;
// clang-format off
inline constexpr uint32_t IOCTL_GET_PIPE_INFO         = DeviceCode(0x800, M::kBuffered);
inline constexpr uint32_t IOCTL_GET_DEVICE_DESCRIPTOR = DeviceCode(0x801, M::kBuffered);
inline constexpr uint32_t IOCTL_GET_CONFIG_DESCRIPTOR = DeviceCode(0x802, M::kBuffered);
inline constexpr uint32_t IOCTL_VENDOR_DEVICE_REQUEST = DeviceCode(0x805, M::kBuffered);
inline constexpr uint32_t IOCTL_NO_OPERATION          = DeviceCode(0x806, M::kBuffered);
inline constexpr uint32_t IOCTL_MEMORY_LOAD           = DeviceCode(0x807, M::kBuffered);
inline constexpr uint32_t IOCTL_RESET_PORT            = DeviceCode(0x80C, M::kInDirect);
inline constexpr uint32_t IOCTL_RESET_PIPE            = DeviceCode(0x80D, M::kInDirect);
inline constexpr uint32_t IOCTL_ABORT_PIPE            = DeviceCode(0x80F, M::kInDirect);
inline constexpr uint32_t IOCTL_SET_INTERFACE         = DeviceCode(0x810, M::kBuffered);
inline constexpr uint32_t IOCTL_GET_STRING_DESCRIPTOR = DeviceCode(0x811, M::kBuffered);
inline constexpr uint32_t IOCTL_BULK_READ             = DeviceCode(0x813, M::kOutDirect);
inline constexpr uint32_t IOCTL_BULK_WRITE            = DeviceCode(0x814, M::kInDirect);
inline constexpr uint32_t IOCTL_GET_FRAME_NUMBER      = DeviceCode(0x815, M::kBuffered);
inline constexpr uint32_t IOCTL_VENDOR_REQUEST        = DeviceCode(0x816, M::kInDirect);
inline constexpr uint32_t IOCTL_GET_LAST_ERROR        = DeviceCode(0x817, M::kBuffered);
inline constexpr uint32_t IOCTL_ISO_READ              = DeviceCode(0x819, M::kOutDirect);
inline constexpr uint32_t IOCTL_ISO_WRITE             = DeviceCode(0x81A, M::kInDirect);
inline constexpr uint32_t IOCTL_MEMORY_WRITE          = DeviceCode(0x81B, M::kInDirect);
inline constexpr uint32_t IOCTL_GET_DRIVER_VERSION    = DeviceCode(0x81D, M::kBuffered);
inline constexpr uint32_t IOCTL_START_ISO_STREAM      = DeviceCode(0x81E, M::kBuffered);
inline constexpr uint32_t IOCTL_STOP_ISO_STREAM       = DeviceCode(0x81F, M::kBuffered);
inline constexpr uint32_t IOCTL_READ_ISO_BUFFER       = DeviceCode(0x820, M::kOutDirect);
inline constexpr uint32_t IOCTL_SET_FEATURE           = DeviceCode(0x821, M::kBuffered);
inline constexpr uint32_t IOCTL_ENABLE_READ           = DeviceCode(0x822, M::kOutDirect);
inline constexpr uint32_t IOCTL_SET_CLIENT_VALUE      = DeviceCode(0x823, M::kOutDirect);
inline constexpr uint32_t IOCTL_GET_CLIENT_VALUE      = DeviceCode(0x825, M::kOutDirect);
inline constexpr uint32_t IOCTL_EXCLUSIVE_ACCESS      = DeviceCode(0x826, M::kBuffered);
// clang-format on

// The values applications and the driver have always exchanged.
static_assert(IOCTL_GET_PIPE_INFO == 0x222000);
static_assert(IOCTL_GET_DEVICE_DESCRIPTOR == 0x222004);
static_assert(IOCTL_GET_CONFIG_DESCRIPTOR == 0x222008);
static_assert(IOCTL_VENDOR_DEVICE_REQUEST == 0x222014);
static_assert(IOCTL_NO_OPERATION == 0x222018);
static_assert(IOCTL_MEMORY_LOAD == 0x22201C);
static_assert(IOCTL_RESET_PORT == 0x222031);
static_assert(IOCTL_RESET_PIPE == 0x222035);
static_assert(IOCTL_ABORT_PIPE == 0x22203D);
static_assert(IOCTL_SET_INTERFACE == 0x222040);
static_assert(IOCTL_GET_STRING_DESCRIPTOR == 0x222044);
static_assert(IOCTL_BULK_READ == 0x22204E);
static_assert(IOCTL_BULK_WRITE == 0x222051);
static_assert(IOCTL_GET_FRAME_NUMBER == 0x222054);
static_assert(IOCTL_VENDOR_REQUEST == 0x222059);
static_assert(IOCTL_GET_LAST_ERROR == 0x22205C);
static_assert(IOCTL_ISO_READ == 0x222066);
static_assert(IOCTL_ISO_WRITE == 0x222069);
static_assert(IOCTL_MEMORY_WRITE == 0x22206D);
static_assert(IOCTL_GET_DRIVER_VERSION == 0x222074);
static_assert(IOCTL_START_ISO_STREAM == 0x222078);
static_assert(IOCTL_STOP_ISO_STREAM == 0x22207C);
static_assert(IOCTL_READ_ISO_BUFFER == 0x222082);
static_assert(IOCTL_SET_FEATURE == 0x222084);
static_assert(IOCTL_ENABLE_READ == 0x22208A);
static_assert(IOCTL_SET_CLIENT_VALUE == 0x22208E);
static_assert(IOCTL_GET_CLIENT_VALUE == 0x222096);
static_assert(IOCTL_EXCLUSIVE_ACCESS == 0x222098);

// Internal requests the driver sends down the USB stack.
inline constexpr uint32_t IOCTL_INTERNAL_USB_SUBMIT_URB = 0x220003;
inline constexpr uint32_t IOCTL_INTERNAL_USB_RESET_PORT = 0x220007;

// Name of a control code for logs and test output ("IOCTL_VENDOR_REQUEST");
// "unknown" for codes the driver does not define.
const char* ControlCodeName(uint32_t code);

}  // namespace vk
