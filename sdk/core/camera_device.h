// CCameraDevice: the only path from user mode to a camera. It finds the
// device links the driver exposes, opens one, carries every camera operation
// as a vendor request through IOCTL_VENDOR_REQUEST, reads string descriptors,
// arms reading with IOCTL_ENABLE_READ and reads whole raw frames with
// overlapped chunk reads. Shared by the SDK and the TWAIN data source.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/win32.h"

namespace vk {

inline constexpr int kDeviceLinks = 4;
inline constexpr int kReadSlots = 4;
// Room for two chunks of the widest frame (2 x 2048 x 128) and a packet.
inline constexpr uint32_t kReadSlotBytes = 524800;
inline constexpr uint32_t kChunkRows = 128;
inline constexpr uint32_t kBulkPacketBytes = 512;

class CCameraDevice {
 public:
  // With `enumerate`, probes the links at once (the SDK); the TWAIN source
  // opens link 0 directly and probes nothing.
  explicit CCameraDevice(bool enumerate = true);
  virtual ~CCameraDevice();
  CCameraDevice(const CCameraDevice&) = delete;
  CCameraDevice& operator=(const CCameraDevice&) = delete;

  // Probes links 0..3; returns how many are present.
  uint8_t Enumerate();
  // n is 1-based. 0 without change when no camera is present; 1 when n is in
  // range; otherwise 0 with the first camera selected.
  int SelectCamera(uint8_t n);
  BOOL OpenLink(HANDLE* handle);
  // Opens the link with the given number directly, without enumeration.
  BOOL OpenLinkNumber(int link);
  BOOL EnsureLink();
  // Reads the string descriptors (once) and, with `start`, runs the link
  // start sequence: stream control 1, 0, 1 and IOCTL_ENABLE_READ. Returns
  // the opened flag, or 0.
  uint32_t Open(bool start);
  int Close();
  // Zero-terminated text of at most 63 characters into `text` (64 bytes).
  int ReadStringDescriptor(char* text, uint8_t index);
  BOOL SetStreamControl(uint16_t word);
  BOOL EnableRead();
  void StopLink();
  BOOL WriteSensorRegister(uint16_t reg, uint16_t data);
  BOOL ReadSensorRegister(uint16_t reg, uint16_t* data);
  // The byte the camera answers (0..255), or -1 when the request fails.
  int GpioTransfer(uint8_t byte, bool write);
  BOOL ConfigureGpio(uint8_t byte);
  BOOL WriteMemoryWord(uint16_t address, uint16_t word);
  BOOL ReadMemoryWord(uint16_t address, uint16_t* word);
  // Reads of 128 rows (in whole bulk packets), or of `chunk` bytes.
  void SetFrameSize(uint32_t width, uint32_t height);
  void SetFrameSize(uint32_t width, uint32_t height, uint32_t chunk);
  // 1 good frame, 0 bad frame, -1 read failure; `buffer` receives
  // width x height bytes.
  int ReadFrame(uint8_t* buffer);

  uint32_t opened() const { return opened_; }
  uint8_t camera_count() const { return camera_count_; }
  uint8_t selected_camera() const { return selected_camera_; }
  HANDLE handle() const { return handle_; }
  uint32_t chunk_size() const { return chunk_size_; }
  uint32_t frame_size() const { return frame_size_; }

 private:
  // One vendor request; `out` receives `length` bytes when reading.
  BOOL Vendor(uint8_t direction, uint8_t request, uint16_t value,
              uint16_t index, void* out, DWORD length);
  BOOL AckedRequest(uint8_t request, uint16_t value, uint16_t index,
                    uint16_t* word);

  std::unique_ptr<uint8_t[]> slots_[kReadSlots];
  uint32_t chunk_size_ = 0;
  uint32_t frame_size_ = 0;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  uint32_t opened_ = 0;
  uint8_t selected_camera_ = 0;
  uint8_t camera_count_ = 0;
  uint8_t present_[kDeviceLinks] = {};
  uint32_t width_ = 0;
  uint32_t height_ = 0;
};

}  // namespace vk
