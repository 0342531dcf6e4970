#include "common/control_codes.h"

namespace vk {

const char* ControlCodeName(uint32_t code) {
  struct Entry {
    uint32_t code;
    const char* name;
  };
#define VK_ENTRY(c) {c, #c}
  static constexpr Entry kNames[] = {
      VK_ENTRY(IOCTL_GET_PIPE_INFO),         VK_ENTRY(IOCTL_GET_DEVICE_DESCRIPTOR),
      VK_ENTRY(IOCTL_GET_CONFIG_DESCRIPTOR), VK_ENTRY(IOCTL_VENDOR_DEVICE_REQUEST),
      VK_ENTRY(IOCTL_NO_OPERATION),          VK_ENTRY(IOCTL_MEMORY_LOAD),
      VK_ENTRY(IOCTL_RESET_PORT),            VK_ENTRY(IOCTL_RESET_PIPE),
      VK_ENTRY(IOCTL_ABORT_PIPE),            VK_ENTRY(IOCTL_SET_INTERFACE),
      VK_ENTRY(IOCTL_GET_STRING_DESCRIPTOR), VK_ENTRY(IOCTL_BULK_READ),
      VK_ENTRY(IOCTL_BULK_WRITE),            VK_ENTRY(IOCTL_GET_FRAME_NUMBER),
      VK_ENTRY(IOCTL_VENDOR_REQUEST),        VK_ENTRY(IOCTL_GET_LAST_ERROR),
      VK_ENTRY(IOCTL_ISO_READ),              VK_ENTRY(IOCTL_ISO_WRITE),
      VK_ENTRY(IOCTL_MEMORY_WRITE),          VK_ENTRY(IOCTL_GET_DRIVER_VERSION),
      VK_ENTRY(IOCTL_START_ISO_STREAM),      VK_ENTRY(IOCTL_STOP_ISO_STREAM),
      VK_ENTRY(IOCTL_READ_ISO_BUFFER),       VK_ENTRY(IOCTL_SET_FEATURE),
      VK_ENTRY(IOCTL_ENABLE_READ),           VK_ENTRY(IOCTL_SET_CLIENT_VALUE),
      VK_ENTRY(IOCTL_GET_CLIENT_VALUE),      VK_ENTRY(IOCTL_EXCLUSIVE_ACCESS),
  };
#undef VK_ENTRY
  for (const Entry& e : kNames) {
    if (e.code == code) return e.name;
  }
  return "unknown";
}

}  // namespace vk
