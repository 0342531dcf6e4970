// One fixed synthetic picture through the SDK's still writers, built for
// Windows (run under Wine) and for Linux, so the two builds' files can be
// compared: BASE.jpg (quality 90), BASE-q40.jpg, BASE.png, and BASE.rgb, the
// picture itself as top-down RGB bytes for a reader to check decodes
// against. Prints the versions of the libraries the writers were built with;
// where they agree the files must too, byte for byte.
// Usage: still_sample BASE
#include <png.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// clang-format off
#include <jpeglib.h>
// clang-format on

#include "sdk/api/still_writers.h"

namespace {

// Sizes that are no multiple of the 16-pixel JPEG blocks, so edge blocks are
// padded. Colour ramps, with hard edges (a checkerboard) and noise in the
// lower half; the edges are in brightness, which JPEG keeps at full
// resolution, so a sound file decodes close to the picture.
constexpr int kWidth = 203;
constexpr int kHeight = 131;

// Bottom-up BGR, as the pipeline hands pictures to the writers.
std::vector<uint8_t> Picture() {
  std::vector<uint8_t> bgr(static_cast<size_t>(kWidth) * kHeight * 3);
  uint32_t noise = 12345;
  for (int y = 0; y < kHeight; ++y) {
    const int top_down = kHeight - 1 - y;
    for (int x = 0; x < kWidth; ++x) {
      noise = noise * 1103515245u + 12345u;
      int brightness = 0;
      if (top_down > kHeight / 2 && x < kWidth / 2)
        brightness = ((x / 9 + top_down / 7) & 1) ? 30 : -30;
      else if (top_down > kHeight / 2)
        brightness = static_cast<int>((noise >> 16) % 21) - 10;
      uint8_t* p = &bgr[(static_cast<size_t>(y) * kWidth + x) * 3];
      p[2] = static_cast<uint8_t>(40 + x * 180 / (kWidth - 1) + brightness);
      p[1] = static_cast<uint8_t>(40 + top_down * 180 / (kHeight - 1) +
                                  brightness);
      p[0] = static_cast<uint8_t>(120 + brightness);
    }
  }
  return bgr;
}

std::vector<uint8_t> TopDownRgb(const std::vector<uint8_t>& bgr) {
  std::vector<uint8_t> rgb(bgr.size());
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x)
      for (int c = 0; c < 3; ++c)
        rgb[(static_cast<size_t>(y) * kWidth + x) * 3 + c] =
            bgr[(static_cast<size_t>(kHeight - 1 - y) * kWidth + x) * 3 + 2 -
                c];
  return rgb;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: still_sample BASE\n");
    return 2;
  }
  const std::string base = argv[1];
  const std::vector<uint8_t> bgr = Picture();
  const std::vector<uint8_t> rgb = TopDownRgb(bgr);
  std::FILE* file = std::fopen((base + ".rgb").c_str(), "wb");
  if (!file || std::fwrite(rgb.data(), 1, rgb.size(), file) != rgb.size() ||
      std::fclose(file) != 0) {
    std::fprintf(stderr, "still_sample: cannot write %s.rgb\n", base.c_str());
    return 1;
  }
  int failures = 0;
  if (vk::sdk::WriteJpegFile((base + ".jpg").c_str(), bgr.data(), kWidth,
                             kHeight, 90) != 1)
    ++failures;
  if (vk::sdk::WriteJpegFile((base + "-q40.jpg").c_str(), bgr.data(), kWidth,
                             kHeight, 40) != 1)
    ++failures;
  vk::sdk::CPngWriter png;
  if (!png.Write((base + ".png").c_str(), bgr.data(), kWidth, kHeight))
    ++failures;
  std::printf("size %dx%d\nlibjpeg-turbo %d libpng %s zlib %s\n", kWidth,
              kHeight, LIBJPEG_TURBO_VERSION_NUMBER,
              png_get_libpng_ver(nullptr), zlibVersion());
  return failures == 0 ? 0 : 1;
}
