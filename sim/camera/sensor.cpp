#include "sim/camera/sensor.h"

#include <algorithm>

namespace vk::sim {

void SensorRegisters::PowerOn(uint16_t chip_version) {
  regs_.fill(0);
  regs_[reg::kChipVersion] = chip_version;
  regs_[reg::kRowStart] = kRowOrigin;
  regs_[reg::kColumnStart] = kColumnOrigin;
  regs_[reg::kWindowHeight] = kSensorHeight - 1;
  regs_[reg::kWindowWidth] = kSensorWidth - 1;
  regs_[reg::kHorizontalBlank] = 336;
  regs_[reg::kOutputControl] = 2;
  regs_[reg::kShutterWidth] = 1000;
  regs_[reg::kPixelClock] = 0x8001;
  regs_[reg::kAnalogGain] = 8;
}

void SensorRegisters::Write(uint16_t number, uint16_t value) {
  if (number > 0xFF || number == reg::kChipVersion) return;
  regs_[number] = value;
}

FrameGeometry SensorRegisters::Geometry() const {
  FrameGeometry g;
  g.row_step = (regs_[reg::kRowMode] & 7) + 1;
  g.column_step = (regs_[reg::kColumnMode] & 7) + 1;
  g.width = (regs_[reg::kWindowWidth] + 1) / g.column_step;
  g.height = (regs_[reg::kWindowHeight] + 1) / g.row_step;
  g.first_row = regs_[reg::kRowStart] - kRowOrigin;
  g.first_column = regs_[reg::kColumnStart] - kColumnOrigin;
  return g;
}

uint32_t SensorRegisters::RowTimeClocks() const {
  static constexpr uint32_t kBinExtra[4] = {38, 22, 14, 14};
  static constexpr uint32_t kBinTail[4] = {331, 673, 999, 999};
  const uint32_t b = (regs_[reg::kRowMode] >> 4) & 3;
  uint32_t t = (regs_[reg::kWindowWidth] + 1u) /
                   ((regs_[reg::kColumnMode] & 7u) + 1u) +
               regs_[reg::kHorizontalBlank] + kBinExtra[b];
  t = std::max<uint32_t>(t, 316 * (b + 1));
  return t + kBinTail[b];
}

uint32_t SensorRegisters::PixelClockMhz() const {
  return (regs_[reg::kPixelClock] & 1) ? 24 : 48;
}

double SensorRegisters::ExposureMicroseconds() const {
  return static_cast<double>(regs_[reg::kShutterWidth]) * RowTimeClocks() /
         PixelClockMhz();
}

double SensorRegisters::AnalogGain() const {
  return GainOfCode(regs_[reg::kAnalogGain]);
}

double GainOfCode(uint16_t code) {
  double gain = (code & 0x3F) / 8.0;
  if (code & 0x40) gain *= 2;
  return gain * (1.0 + ((code >> 8) & 0x7F) / 8.0);
}

}  // namespace vk::sim
