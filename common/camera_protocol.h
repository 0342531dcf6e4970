// The camera's vendor requests and non-volatile memory map: what user mode
// sends through IOCTL_VENDOR_REQUEST and what the camera answers.
#pragma once

#include <cstdint>

namespace vk {

// Vendor request numbers (type vendor, recipient device).
inline constexpr uint8_t VR_STREAM_CONTROL = 1;  // host to device, no data
inline constexpr uint8_t VR_GPIO = 6;            // 1-byte answer: pin states
inline constexpr uint8_t VR_SENSOR_READ = 10;    // 3 bytes: data hi, lo, ack
inline constexpr uint8_t VR_SENSOR_WRITE = 11;   // 1 byte: ack
inline constexpr uint8_t VR_EEPROM_WRITE = 16;   // 1 byte: ack
inline constexpr uint8_t VR_EEPROM_READ = 17;    // 3 bytes: word hi, lo, ack

// The camera's acknowledge byte: the last byte of every sensor and memory
// answer. Any other value is a failed request even when the transfer worked.
inline constexpr uint8_t kAckByte = 8;

// wIndex of VR_STREAM_CONTROL and its control words.
inline constexpr uint16_t kStreamControlIndex = 15;
inline constexpr uint16_t kStreamStop = 0;
inline constexpr uint16_t kStreamStart = 1;
inline constexpr uint16_t kStreamRestart = 3;

// wIndex of VR_GPIO selects the operation.
inline constexpr uint16_t kGpioRead = 0x0000;
inline constexpr uint16_t kGpioWrite = 0xFE00;
inline constexpr uint16_t kGpioConfigure = 0xFF00;

// Language identifier under which string descriptors 1 and 2 are read.
inline constexpr uint16_t kStringLanguageId = 0x001B;

// Answer lengths of the device-to-host requests.
inline constexpr uint32_t kWordAnswerLength = 3;  // VR_SENSOR_READ, EEPROM_READ
inline constexpr uint32_t kAckAnswerLength = 1;   // writes and VR_GPIO

// Non-volatile memory: 16-bit words addressed by byte address.
namespace nvram {
inline constexpr uint16_t kSerialNumber = 0x2400;  // + i, two chars per word
inline constexpr uint32_t kSerialNumberMaxLength = 32;
inline constexpr uint16_t kDeadPixelMarker = 0x24C0;
inline constexpr uint16_t kDeadPixelMarkerValid = 0xAA22;
inline constexpr uint32_t kDeadPixelResolutions = 4;
inline constexpr uint32_t kDeadPixelMaxEntries = 100;
inline constexpr uint16_t kDeadPixelTableEnd = 0x2500 + 400 * 4;
inline constexpr uint16_t kLotDate = 0x3FF0;
inline constexpr uint16_t kUnlock = 0xFFFE;
inline constexpr uint16_t kUnlockWord = 0x3C7E;

constexpr uint16_t DeadPixelHeader(uint32_t r) {
  return static_cast<uint16_t>(0x24C4 + 4 * r);
}
constexpr uint16_t DeadPixelHeaderValue(uint32_t r) {
  return static_cast<uint16_t>(r * 0x0101);
}
constexpr uint16_t DeadPixelCount(uint32_t r) {
  return static_cast<uint16_t>(0x24C6 + 4 * r);
}
constexpr uint16_t DeadPixelColumn(uint32_t r, uint32_t k) {
  return static_cast<uint16_t>(0x2500 + 400 * r + 4 * k);
}
constexpr uint16_t DeadPixelRow(uint32_t r, uint32_t k) {
  return static_cast<uint16_t>(0x2502 + 400 * r + 4 * k);
}
// The dead-pixel table (marker, headers, counts, entries) is write-protected
// until the unlock word has been written.
constexpr bool InDeadPixelTable(uint32_t address) {
  return address >= kDeadPixelMarker && address < kDeadPixelTableEnd;
}

// Lot date word: bits 15..9 year - 2009, bits 8..5 month, bits 4..0 day.
struct LotDate {
  int year;
  int month;  // 15 marks a date that was never written
  int day;
};
constexpr LotDate DecodeLotDate(uint16_t word) {
  return {word / 512 + 2009, (word >> 5) & 15, word & 31};
}
constexpr uint16_t EncodeLotDate(int year, int month, int day) {
  return static_cast<uint16_t>(((year - 2009) << 9) | (month << 5) | day);
}
inline constexpr int kLotDateNeverWrittenMonth = 15;
}  // namespace nvram

}  // namespace vk
