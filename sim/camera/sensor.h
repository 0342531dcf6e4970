// Register model of the simulated camera's 2048 x 1536 Bayer sensor: the
// effects of the registers the system writes (window, reduction, blanking,
// pixel clock, exposure, analog gain, output enable).
#pragma once

#include <array>
#include <cstdint>

namespace vk::sim {

inline constexpr int kSensorWidth = 2048;
inline constexpr int kSensorHeight = 1536;
inline constexpr uint16_t kDefaultChipVersion = 0x1604;

// Register numbers with an effect in the model.
namespace reg {
inline constexpr uint16_t kChipVersion = 0;
inline constexpr uint16_t kRowStart = 1;
inline constexpr uint16_t kColumnStart = 2;
inline constexpr uint16_t kWindowHeight = 3;  // rows - 1
inline constexpr uint16_t kWindowWidth = 4;   // columns - 1
inline constexpr uint16_t kHorizontalBlank = 5;
inline constexpr uint16_t kOutputControl = 7;  // 0 ends sensor output
inline constexpr uint16_t kShutterUpper = 8;
inline constexpr uint16_t kShutterWidth = 9;  // exposure in rows
inline constexpr uint16_t kPixelClock = 10;   // bit 0 set: 24 MHz, else 48
inline constexpr uint16_t kRowMode = 34;      // bits 2..0 skip, 5..4 bin
inline constexpr uint16_t kColumnMode = 35;
inline constexpr uint16_t kAnalogGain = 53;
}  // namespace reg

// Array coordinates of register 1 = 21 and register 2 = 33.
inline constexpr int kRowOrigin = 21;
inline constexpr int kColumnOrigin = 33;

struct FrameGeometry {
  int width = 0;   // output columns
  int height = 0;  // output rows
  int first_row = 0;     // array row of output row 0
  int first_column = 0;  // array column of output column 0
  int row_step = 1;      // array rows per output row
  int column_step = 1;
  uint32_t bytes() const { return static_cast<uint32_t>(width) * height; }
};

class SensorRegisters {
 public:
  SensorRegisters() { PowerOn(kDefaultChipVersion); }

  void PowerOn(uint16_t chip_version);
  uint16_t Read(uint16_t number) const { return regs_[number & 0xFF]; }
  // Register 0 is read-only; writes to it are ignored.
  void Write(uint16_t number, uint16_t value);
  void SetChipVersion(uint16_t v) { regs_[reg::kChipVersion] = v; }

  bool OutputEnabled() const { return regs_[reg::kOutputControl] != 0; }
  FrameGeometry Geometry() const;
  // Pixel clocks per row, as the sensor's timing produces it.
  uint32_t RowTimeClocks() const;
  uint32_t PixelClockMhz() const;
  double ExposureMicroseconds() const;
  // Linear gain of the code in register 53.
  double AnalogGain() const;

 private:
  std::array<uint16_t, 256> regs_{};
};

// Linear gain of an analog gain code: bits 5..0 in eighths, bit 6 doubles,
// bits 14..8 add eighths of digital gain on top.
double GainOfCode(uint16_t code);

}  // namespace vk::sim
