// The driver's state: the driver-wide record, each camera's settings record
// (InstanceConfig) and its device extension. The device extension is the
// only per-camera state; nothing else is kept in statics.
#pragma once

#include <cstdint>

#include "common/usb/descriptors.h"
#include "common/usb/urb.h"
#include "driver/kernel_port.h"

namespace vk::drv {

inline constexpr int kMaxInstances = 8;
inline constexpr uint32_t kMaxTransferSize = 3584000;  // 0x36B000

struct DeviceExtension;
struct IsoContext;

// A ring buffer of a running isochronous stream: written by the stream's
// completion routines, read by IOCTL_READ_ISO_BUFFER. Only the bytes in use
// are shared, under the ring's spin lock.
struct StreamRing {
  uint32_t write_position;
  uint32_t read_position;
  uint32_t capacity;
  uint32_t in_use;
  kernel::SpinLock lock;
  uint8_t* buffer;
};

// The camera access token shared by every camera of the driver.
struct TokenState {
  kernel::SpinLock access_lock;
  DeviceExtension* owner;
  kernel::FileObject* owner_file;
  DeviceExtension* ring[8];
  uint8_t head;
  uint8_t tail;
};

// Driver-wide state: one per loaded driver, from DriverEntry to Unload.
struct DriverState {
  kernel::KernelPort* port;
  kernel::DriverObject* driver;
  char16_t* service_key_path;  // copy of the registry path, non-paged
  uint32_t instance_mask;      // bits 0..7: instance numbers in use
  kernel::SpinLock instance_lock;
  TokenState token;
  // Held (a synchronization event) while a camera chooses its registration
  // identifier, so two cameras never take the same one.
  kernel::Event registration_lock;
};

// A camera's settings, read from the service key at AddDevice. Sizes are
// those of the largest registry value accepted, in bytes.
struct InstanceConfig {
  uint8_t register_per_camera;  // "RegForDVP" starts with Y or y
  uint8_t register_configured;  // "RegForDShow" starts with Y or y
  char16_t system_path[256];
  char16_t maker_key_path[256];
  char16_t series[128];
  char16_t dev_name[128];
  char16_t dev_desc[128];
  char16_t device_key_name[32];
  char16_t link_name[32];
  char16_t filter_clsid[64];
  char16_t camera_guid[64];
  char16_t setup_guid[64];
  char16_t size_guid[64];
  char16_t setup_page[64];
  char16_t size_page[64];
  char16_t dshow[64];
  char16_t dshow64[64];
  char16_t twain[64];
  uint8_t capture_filter_data[256];
  uint8_t video_filter_data[256];
  uint32_t capture_filter_data_length;
  uint32_t video_filter_data_length;
  uint32_t system_path_length;  // bytes read for "SystemPath"
};

struct DeviceExtension {
  kernel::DeviceObject* physical_device;
  kernel::DeviceObject* lower_device;
  uint8_t started;
  uint8_t link_flag;
  usb::UsbdConfigurationHandle configuration_handle;
  usb::DeviceDescriptor* device_descriptor;
  usb::InterfaceInformation* interface_record;
  uint32_t open_handles;
  char16_t link_name[64];
  volatile uint32_t last_usbd_error;
  volatile int32_t pending_io;  // biased to 1 from AddDevice until removal
  kernel::Event remove_event;
  volatile uint8_t read_enabled;
  volatile uint8_t removing;
  volatile uint8_t iso_stop;
  StreamRing* data_ring;
  StreamRing* record_ring;
  uint32_t client_value;
  InstanceConfig* settings;
  kernel::Thread* registration_thread;
  uint8_t instance;
  uint8_t token_held;
  kernel::Irp* waiting_token_request;
  kernel::FileObject* waiting_token_file;
  // The way back to the driver-wide state from a dispatch routine.
  DriverState* driver;
  kernel::DeviceObject* self;
  // The system power request waiting for this camera's device power change.
  kernel::Irp* system_power_request;
  // Configures the camera at passive level after its return to D0; the
  // flag is set while the item is queued.
  kernel::WorkItem* configure_work;
  volatile uint8_t configure_queued;
  // Guards the swap of the interface record against its readers.
  kernel::SpinLock record_lock;
  // The running isochronous stream (owner of the rings), under stream_lock.
  IsoContext* stream;
  kernel::SpinLock stream_lock;
};

inline DeviceExtension* ExtensionOf(kernel::DeviceObject* device) {
  return static_cast<DeviceExtension*>(kernel::DeviceExtensionOf(device));
}

}  // namespace vk::drv
