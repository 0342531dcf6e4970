// A camera's settings record, read from the START subkey that the driver's
// installation writes under its service key for the camera's vendor and
// product identifiers.
#include "driver/driver.h"
#include "driver/wide_string.h"

namespace vk::drv {
namespace {

using kernel::KernelPort;
using kernel::RegistryKey;

constexpr uint32_t kFlagValueBytes = 64;

// Reads a value whole (size first, then into paged pool) and copies it to
// `dest` when it fits in `capacity` bytes. Returns the bytes copied, 0 when
// the value is missing, unreadable or too large (then `dest` is untouched).
uint32_t ReadValue(KernelPort& port, RegistryKey* key, const char16_t* name,
                   void* dest, uint32_t capacity) {
  uint32_t type = 0, length = 0;
  port.QueryValue(key, name, &type, nullptr, 0, &length);
  if (length == 0 || length > capacity) return 0;
  void* data = port.AllocatePaged(length);
  if (data == nullptr) return 0;
  uint32_t got = 0;
  const NtStatus status = port.QueryValue(key, name, &type, data, length, &got);
  const bool fits = NtSuccess(status) && got == length;
  if (fits) __builtin_memcpy(dest, data, length);
  port.FreePool(data);
  return fits ? length : 0;
}

// A string value into a zeroed field of `chars` characters. A value that
// would leave the field without its terminator is not taken.
uint32_t ReadString(KernelPort& port, RegistryKey* key, const char16_t* name,
                    char16_t* field, size_t chars) {
  const auto capacity = static_cast<uint32_t>(chars * sizeof(char16_t));
  const uint32_t length = ReadValue(port, key, name, field, capacity);
  if (length != 0 && field[chars - 1] != 0) {
    __builtin_memset(field, 0, capacity);
    return 0;
  }
  return length;
}

template <size_t N>
uint32_t ReadString(KernelPort& port, RegistryKey* key, const char16_t* name,
                    char16_t (&field)[N]) {
  return ReadString(port, key, name, field, N);
}

uint8_t ReadYesFlag(KernelPort& port, RegistryKey* key, const char16_t* name) {
  char16_t value[kFlagValueBytes / 2] = {};
  ReadString(port, key, name, value);
  return value[0] == u'Y' || value[0] == u'y';
}

// DSHOW and DSHOW64 name modules below the system folder when one is set.
template <size_t N>
void ReadModulePath(KernelPort& port, RegistryKey* key, const char16_t* name,
                    const InstanceConfig& config, const char16_t* subfolder,
                    char16_t (&field)[N]) {
  char16_t value[N] = {};
  if (ReadString(port, key, name, value) == 0) return;
  if (config.system_path_length < 3) {
    WideCopy(field, value);
    return;
  }
  if (!WideCopy(field, config.system_path) || !WideAppend(field, subfolder) ||
      !WideAppend(field, value))
    field[0] = 0;  // too long for the field: left empty
}

void ReadConfiguredFilterValues(KernelPort& port, RegistryKey* key,
                                InstanceConfig* config) {
  ReadString(port, key, u"CAMERAGUID", config->camera_guid);
  ReadString(port, key, u"SETUPGUID", config->setup_guid);
  ReadString(port, key, u"SIZEGUID", config->size_guid);
  ReadString(port, key, u"SETUPPAGE", config->setup_page);
  ReadString(port, key, u"SIZEPAGE", config->size_page);
  ReadModulePath(port, key, u"DSHOW64", *config, u"\\System32\\",
                 config->dshow64);
  ReadModulePath(port, key, u"DSHOW", *config, u"\\SysWOW64\\", config->dshow);
  ReadString(port, key, u"TWAIN", config->twain);
  config->video_filter_data_length =
      ReadValue(port, key, u"VideoFilterData", config->video_filter_data,
                sizeof(config->video_filter_data));
  config->capture_filter_data_length =
      ReadValue(port, key, u"CaptureFilterData", config->capture_filter_data,
                sizeof(config->capture_filter_data));
}

}  // namespace

NtStatus ReadInstanceConfig(KernelPort& port, const char16_t* service_key_path,
                            uint8_t instance, InstanceConfig* config) {
  WideUpperAscii(config->device_key_name);
  const size_t chars = WideLength(service_key_path) + 1 +
                       WideLength(config->device_key_name) + 7 + 1;
  auto* path =
      static_cast<char16_t*>(port.AllocatePaged(chars * sizeof(char16_t)));
  if (path == nullptr) return kStatusNoMemory;
  WideCopy(path, chars, service_key_path);
  WideAppend(path, chars, u"\\");
  WideAppend(path, chars, config->device_key_name);
  WideAppend(path, chars, u"\\START");
  RegistryKey* key = nullptr;
  const NtStatus opened = port.OpenKey(path, &key);
  port.FreePool(path);
  if (!NtSuccess(opened)) return kStatusSuccess;  // no settings: empty record

  config->register_per_camera = ReadYesFlag(port, key, u"RegForDVP");
  config->register_configured = ReadYesFlag(port, key, u"RegForDShow");
  ReadString(port, key, u"Series", config->series);
  ReadString(port, key, u"DevName", config->dev_name);
  ReadString(port, key, u"DevDesc", config->dev_desc);
  if (instance != 0) {
    const char16_t suffix[] = {u'(', static_cast<char16_t>(u'0' + instance),
                               u')', 0};
    WideAppend(config->dev_desc, suffix);
  }
  config->system_path_length =
      ReadString(port, key, u"SystemPath", config->system_path);
  if (ReadString(port, key, u"LinkName", config->link_name) != 0) {
    const size_t last = WideLength(config->link_name);
    if (last > 0)
      config->link_name[last - 1] = static_cast<char16_t>(u'0' + instance);
  }
  if (config->register_configured) ReadConfiguredFilterValues(port, key, config);
  port.CloseKey(key);
  return kStatusSuccess;
}

}  // namespace vk::drv
