// The data source's own image steps, where its pipeline differs from the
// SDK's: dead pixels from two columns to the left, 11/59/30 monochrome, the
// smoothing stage, one-shot white balance, its colour step (saturation x
// colour matrix x gains in one 2^20-scaled matrix, with an offset of 8),
// automatic exposure measured over the centre before the tone table, and
// the sensor's gain register. Images are 24-bit DIB rows (blue, green,
// red), width x 3 bytes each, no padding.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vk::twain {

struct DeadPixel {
  uint16_t column;
  uint16_t row;
};

inline constexpr int kMaxDeadPixels = 99;

// Each listed sample takes the value two columns to its left (the same
// colour); entries at column 2 or less, or outside the frame, are skipped.
void CorrectDeadPixels(uint8_t* raw, int width, int height,
                       const DeadPixel* pixels, int count);

// Y = (11 blue + 59 green + 30 red) / 100 into all three bytes.
void Monochrome(uint8_t* image, size_t pixels);

// Interior pixels become (above + below + left + right + 4 centre) >> 3
// per channel, read from `copy` (width x height x 3 bytes of room).
void Smooth(uint8_t* image, int width, int height, uint8_t* copy);

struct WhiteBalance {
  uint8_t red, green, blue;  // 64 = 1.0
};
// The gains that make the whole image grey; `gains` unchanged when the
// sums are too small.
void WhiteBalanceOnce(const uint8_t* image, size_t pixels, WhiteBalance* gains);
// The same from the blue, green and red sums of the image.
void WhiteBalanceFromSums(uint64_t blue, uint64_t green, uint64_t red,
                          WhiteBalance* gains);

// M = S x K x D (2^20 = 1.0).
struct ColorMatrix {
  int64_t m[3][3];  // rows: output red, green, blue; columns: red, green, blue
};
ColorMatrix MakeColorMatrix(uint8_t saturation, const int32_t (*matrix)[4],
                            const WhiteBalance& gains);
void ApplyColorMatrix(uint8_t* image, size_t pixels, const ColorMatrix& m,
                      const WhiteBalance& gains);

// Register 53's code for a gain index.
uint16_t GainRegister(int gain);

// The state automatic exposure works on.
struct AeState {
  uint8_t target;        // T
  uint8_t brightness;    // B, smoothed
  int gain;              // G, the gain index
  uint16_t exposure;     // E, the working exposure in rows
  uint16_t banding;      // U, rows per flicker period
  uint16_t height;       // the exposure's ceiling
};
// The brightness of the centre region plus 16 (16 for an empty region).
uint8_t CentreBrightness(const uint8_t* image, int width, int height);
// The same from the blue, green and red sums over the centre region.
uint8_t CentreFromSums(const uint64_t sums[3], int width, int height);
// One step from the brightness `y` measured; true when the registers are to
// be written (with the exposure time `*rows`, whole banding periods).
bool AeStep(AeState* s, uint8_t y, uint16_t* rows);

}  // namespace vk::twain
