// The data source's image from a raw frame in one pass over bands of rows
// that stay in cache: demosaicing, then row by row the smoothing and the
// colour step (or monochrome), AE's centre sums, the tone table and the
// flips, each row written once where the flips put it. The result equals
// the image steps one after another over whole images.
#pragma once

#include <cstddef>
#include <cstdint>

#include "twain/camera/image_steps.h"

namespace vk::twain {

// The colour step as tables made once per frame: entry [out][in][byte] is
// the matrix's product with the offset and clamped sample of that byte, so
// a pixel's sum is three lookups with the same integers as ApplyColorMatrix.
struct ColorTables {
  int64_t t[3][3][256];  // [output red, green, blue][input red, green, blue]
};
void MakeColorTables(const ColorMatrix& m, const WhiteBalance& gains,
                     ColorTables* tables);

struct ImageJob {
  const uint8_t* raw;  // dead pixels already corrected
  uint8_t* image;
  int width;
  int height;
  bool mono;
  const ColorTables* color;  // unless mono
  const uint8_t* tone;
  bool vflip;
  bool hflip;
};

// Makes the image; `centre`, when given, receives the blue, green and red
// sums CentreBrightness takes (over the centre of the image before the tone
// table). Width at most 2048.
void MakeImage(const ImageJob& job, uint64_t centre[3]);

// The blue, green and red sums WhiteBalanceOnce takes over the whole
// smoothed image, without storing it.
void SmoothedSums(const uint8_t* raw, int width, int height, uint64_t sums[3]);

// One row of the smoothing: `out` from the demosaiced rows around it
// (first and last pixel kept).
void SmoothRow(const uint8_t* above, const uint8_t* centre,
               const uint8_t* below, uint8_t* out, int width);

}  // namespace vk::twain
