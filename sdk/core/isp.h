// The image signal pipeline's stages as pure functions over an image and its
// geometry: demosaicing (three modes), luminance, the combined colour step,
// gain and tone tables, mirroring and row reversal. Images are RGB24 in DIB
// byte order (blue, green, red per pixel, rows back to back); raw frames are
// 8-bit Bayer, even rows green-red, odd rows blue-green. Each stage works on
// a band of rows so that the caller may split a frame across threads; the
// result never depends on the split.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vk::isp {

struct Geometry {
  int width;
  int height;
};

// Demosaic rows [first, last) of the output. Mode 1 and 2 read the green
// plane of their first pass from `out`, so a caller running bands in
// parallel runs each pass over all bands before the next (see Demosaic).
void Demosaic0(const uint8_t* raw, uint8_t* out, Geometry g, int first, int last);
void Mode1Green(const uint8_t* raw, uint8_t* out, Geometry g, int first, int last);
void Mode1RedBlue(const uint8_t* raw, uint8_t* out, Geometry g, int first, int last);
void Mode2Green(const uint8_t* raw, uint8_t* out, Geometry g, int first, int last);
void Mode2RedBlue(const uint8_t* raw, uint8_t* out, Geometry g, int first, int last);

// The combined colour step: gains, saturation and colour matrix folded into
// one integer matrix (saturation matrix times colour matrix, 128 = 1.0 each).
struct ColorStep {
  int32_t m[3][3];  // rows: output red, green, blue; columns: red, green, blue
};
ColorStep MakeColorStep(uint8_t saturation, const int32_t (*matrix)[4]);

// The colour step and the tone table over `pixels` pixels; the gain tables
// are red, green, blue.
void ApplyColorAndTone(uint8_t* image, size_t pixels, const ColorStep& step,
                       const uint8_t* const gains[3], const uint8_t* tone);
void ApplyGainsAndTone(uint8_t* image, size_t pixels,
                       const uint8_t* const gains[3], const uint8_t* tone);
void ApplyLuminanceAndTone(uint8_t* image, size_t pixels, const uint8_t* tone);
void MirrorRows(uint8_t* image, Geometry g, int first, int last);
// Reverses the order of the rows through `temp_row` (3 x width bytes).
void ReverseRows(uint8_t* image, Geometry g, uint8_t* temp_row);

}  // namespace vk::isp
