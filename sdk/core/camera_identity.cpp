// The camera object's forwarders to its device and the identity data kept in
// the camera's memory: serial number, lot date, GPIO pins, camera count.
#include "common/camera_protocol.h"
#include "sdk/core/camera.h"

namespace vk {

int CCamera::ReadFrame(uint8_t* buffer) {
  return device_ ? device_->ReadFrame(buffer) : -1;
}

uint8_t CCamera::CameraCount() { return device_ ? device_->Enumerate() : 0; }

int CCamera::SelectCamera(uint8_t n) {
  return device_ ? device_->SelectCamera(n) : 0;
}

int CCamera::ReadSensorRegister(uint16_t reg, uint16_t* data) {
  return device_ ? device_->ReadSensorRegister(reg, data) : 0;
}

int CCamera::WriteSensorRegister(uint16_t reg, uint16_t data) {
  return device_ ? device_->WriteSensorRegister(reg, data) : 0;
}

int CCamera::ReadGpio() { return device_ ? device_->GpioTransfer(0, false) : -1; }

int CCamera::WriteGpio(uint8_t byte) {
  return device_ ? device_->GpioTransfer(byte, true) : -1;
}

int CCamera::SetGpio(uint8_t byte) {
  return device_ ? device_->ConfigureGpio(byte) : 0;
}

// Two characters a word, the first in the high byte. An odd length's last
// word carries a zero after its character, so nothing past the caller's
// count is read.
int CCamera::WriteSerialNumber(const char* text, uint32_t length) {
  if (!device_) return -1;
  const uint32_t n = length & 0xFF;
  if (n < 1 || n > nvram::kSerialNumberMaxLength) return 0;
  for (uint32_t i = 0; i < n; i += 2) {
    const auto high = static_cast<uint8_t>(text[i]);
    const auto low = static_cast<uint8_t>(i + 1 < n ? text[i + 1] : 0);
    if (!device_->WriteMemoryWord(static_cast<uint16_t>(nvram::kSerialNumber + i),
                                  static_cast<uint16_t>(high << 8 | low)))
      return 0;
  }
  return 1;
}

// Never writes past the count the caller gave, even for an odd one.
int CCamera::ReadSerialNumber(char* text, uint32_t length) {
  if (!device_) return -1;
  const uint32_t n = length & 0xFF;
  if (n < 1 || n > nvram::kSerialNumberMaxLength) return 0;
  for (uint32_t i = 0; i < n; i += 2) {
    uint16_t word = 0;
    if (!device_->ReadMemoryWord(static_cast<uint16_t>(nvram::kSerialNumber + i),
                                 &word))
      return 0;
    text[i] = static_cast<char>(word >> 8);
    if (i + 1 < n) text[i + 1] = static_cast<char>(word & 0xFF);
  }
  return 1;
}

int CCamera::WriteLotDate(uint16_t word) {
  if (!device_) return 0;
  device_->WriteMemoryWord(nvram::kLotDate, word);
  uint16_t back = 0;
  device_->ReadMemoryWord(nvram::kLotDate, &back);
  return back == word ? 1 : 0;
}

uint16_t CCamera::ReadLotDate() {
  if (!device_) return 0;
  uint16_t word = 0;
  device_->ReadMemoryWord(nvram::kLotDate, &word);  // whatever the acknowledge
  return word;
}

}  // namespace vk
