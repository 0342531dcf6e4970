#include "sdk/core/camera_device.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "common/camera_protocol.h"
#include "common/control_codes.h"
#include "common/wire_blocks.h"

namespace vk {
namespace {

constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr size_t kTextBytes = 64;

std::string LinkName(int link) {
  std::string name = "\\\\.\\trq5c-0";
  name.back() = static_cast<char>('0' + link);
  return name;
}

HANDLE CreateLink(int link) {
  return CreateFileA(LinkName(link).c_str(), kAccess, kSharing, nullptr,
                     OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

}  // namespace

CCameraDevice::CCameraDevice(bool enumerate) {
  for (auto& slot : slots_) slot = std::make_unique<uint8_t[]>(kReadSlotBytes);
  if (enumerate) Enumerate();
}

CCameraDevice::~CCameraDevice() { Close(); }

uint8_t CCameraDevice::Enumerate() {
  uint8_t count = 0;
  for (int link = 0; link < kDeviceLinks; ++link) {
    HANDLE h = CreateLink(link);
    present_[link] = h != INVALID_HANDLE_VALUE;
    count += present_[link];
    CloseHandle(h);
  }
  camera_count_ = count;
  return count;
}

int CCameraDevice::SelectCamera(uint8_t n) {
  if (camera_count_ == 0) return 0;
  if (n >= 1 && n <= camera_count_) {
    selected_camera_ = static_cast<uint8_t>(n - 1);
    return 1;
  }
  selected_camera_ = 0;
  return 0;
}

BOOL CCameraDevice::OpenLink(HANDLE* handle) {
  if (camera_count_ == 0) return FALSE;
  int link = 0, position = 0;
  for (; link < kDeviceLinks; ++link) {
    if (!present_[link]) continue;
    if (position == selected_camera_) break;
    ++position;
  }
  *handle = CreateLink(link);
  return *handle != INVALID_HANDLE_VALUE;
}

BOOL CCameraDevice::OpenLinkNumber(int link) {
  if (handle_ == INVALID_HANDLE_VALUE) handle_ = CreateLink(link);
  return handle_ != INVALID_HANDLE_VALUE;
}

BOOL CCameraDevice::EnsureLink() {
  if (handle_ != INVALID_HANDLE_VALUE) return TRUE;
  return OpenLink(&handle_) && handle_ != INVALID_HANDLE_VALUE;
}

uint32_t CCameraDevice::Open(bool start) {
  if (!EnsureLink()) return 0;
  if (!opened_) {
    char text[kTextBytes];
    if (!ReadStringDescriptor(text, 1) || !ReadStringDescriptor(text, 2)) {
      Close();
      return 0;
    }
    opened_ = 1;
  }
  if (start && opened_) {
    if (!SetStreamControl(kStreamStart) || !SetStreamControl(kStreamStop) ||
        !SetStreamControl(kStreamStart))
      return 0;
    EnableRead();
  }
  return opened_;
}

int CCameraDevice::Close() {
  if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
  return 1;
}

int CCameraDevice::ReadStringDescriptor(char* text, uint8_t index) {
  uint8_t request[4];
  Encode(StringDescriptorRequest{index, 0, kStringLanguageId}, request);
  uint8_t head[4] = {};
  DWORD n = 0;
  if (!DeviceIoControl(handle_, IOCTL_GET_STRING_DESCRIPTOR, request, 4, head,
                       4, &n, nullptr))
    return 0;
  // The narrowing below reads whole code units only, so it stays inside
  // a buffer of any length, odd ones included; a length of 0 is refused
  // by the driver's second request.
  const uint8_t length = head[0];
  auto descriptor = std::make_unique<uint8_t[]>(length);
  if (!DeviceIoControl(handle_, IOCTL_GET_STRING_DESCRIPTOR, request, 4,
                       descriptor.get(), length, &n, nullptr))
    return 0;
  char work[257] = {};
  for (int i = 0; i < length / 2 - 1 && i < 256; ++i) {
    const uint16_t unit = static_cast<uint16_t>(descriptor[2 + 2 * i] |
                                                (descriptor[3 + 2 * i] << 8));
    std::snprintf(work + i, 2, "%c", static_cast<char>(unit));
  }
  std::strncpy(text, work, kTextBytes - 1);
  text[kTextBytes - 1] = '\0';
  return 1;
}

BOOL CCameraDevice::Vendor(uint8_t direction, uint8_t request, uint16_t value,
                           uint16_t index, void* out, DWORD length) {
  uint8_t block[sizeof(VendorRequestBlock)];
  Encode(VendorRequestBlock{direction, 2, 0, 0, request, 0, value, index},
         block);
  DWORD returned = 0;
  return DeviceIoControl(handle_, IOCTL_VENDOR_REQUEST, block, sizeof(block),
                         out, length, &returned, nullptr);
}

BOOL CCameraDevice::SetStreamControl(uint16_t word) {
  return Vendor(0, VR_STREAM_CONTROL, word, kStreamControlIndex, nullptr, 0);
}

BOOL CCameraDevice::EnableRead() {
  uint8_t input[2] = {1, 0};
  DWORD returned = 0;
  return DeviceIoControl(handle_, IOCTL_ENABLE_READ, input, 2, nullptr, 0,
                         &returned, nullptr);
}

void CCameraDevice::StopLink() {
  if (opened_) SetStreamControl(kStreamStop);
}

BOOL CCameraDevice::AckedRequest(uint8_t request, uint16_t value,
                                 uint16_t index, uint16_t* word) {
  uint8_t answer[kWordAnswerLength] = {};
  const DWORD length = word ? kWordAnswerLength : kAckAnswerLength;
  const BOOL ok = Vendor(1, request, value, index, answer, length);
  if (word) *word = static_cast<uint16_t>(answer[0] << 8 | answer[1]);
  return ok && answer[length - 1] == kAckByte;
}

BOOL CCameraDevice::WriteSensorRegister(uint16_t reg, uint16_t data) {
  if (!opened_) return FALSE;
  return AckedRequest(VR_SENSOR_WRITE, data, reg, nullptr);
}

BOOL CCameraDevice::ReadSensorRegister(uint16_t reg, uint16_t* data) {
  if (!opened_) return FALSE;
  return AckedRequest(VR_SENSOR_READ, 0, reg, data);
}

int CCameraDevice::GpioTransfer(uint8_t byte, bool write) {
  uint8_t answer = 0;
  if (!Vendor(1, VR_GPIO, write ? byte : 0, write ? kGpioWrite : kGpioRead,
              &answer, 1))
    return -1;
  return answer;
}

BOOL CCameraDevice::ConfigureGpio(uint8_t byte) {
  uint8_t answer = 0;
  return Vendor(1, VR_GPIO, byte, kGpioConfigure, &answer, 1);
}

BOOL CCameraDevice::WriteMemoryWord(uint16_t address, uint16_t word) {
  return AckedRequest(VR_EEPROM_WRITE, word, address, nullptr);
}

BOOL CCameraDevice::ReadMemoryWord(uint16_t address, uint16_t* word) {
  return AckedRequest(VR_EEPROM_READ, 0, address, word);
}

void CCameraDevice::SetFrameSize(uint32_t width, uint32_t height) {
  // 128 rows a read, in whole 512-byte bulk packets: a read that ends
  // inside a packet would overflow (a region whose width is not a multiple
  // of four would never stream).
  SetFrameSize(width, height,
               ((width << 7) + kBulkPacketBytes - 1) / kBulkPacketBytes * kBulkPacketBytes);
}

void CCameraDevice::SetFrameSize(uint32_t width, uint32_t height, uint32_t chunk) {
  width_ = width;
  height_ = height;
  chunk_size_ = chunk <= kReadSlotBytes ? chunk : kReadSlotBytes;
  frame_size_ = width * height;
}

}  // namespace vk
