#include "tools/simdemo/quicklook.h"

#include <png.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace vk::tools {
namespace {

std::vector<uint8_t> CellColours(const uint8_t* raw, int width, int height) {
  std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
  for (int y = 0; y + 1 < height; y += 2) {
    for (int x = 0; x + 1 < width; x += 2) {
      const uint8_t* top = raw + static_cast<size_t>(y) * width + x;
      const uint8_t* bottom = top + width;
      const uint8_t r = top[1], b = bottom[0];
      const auto g = static_cast<uint8_t>((top[0] + bottom[1]) / 2);
      for (int dy = 0; dy < 2; ++dy) {
        for (int dx = 0; dx < 2; ++dx) {
          uint8_t* p = &rgb[(static_cast<size_t>(y + dy) * width + x + dx) * 3];
          p[0] = r;
          p[1] = g;
          p[2] = b;
        }
      }
    }
  }
  return rgb;
}

}  // namespace

bool WriteQuickLookPng(const std::string& path, const uint8_t* raw, int width,
                       int height) {
  const std::vector<uint8_t> rgb = CellColours(raw, width, height);
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "wb"),
                                             &std::fclose);
  if (!file) return false;
  png_structp png =
      png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, file.get());
  png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < height; ++y)
    png_write_row(png, &rgb[static_cast<size_t>(y) * width * 3]);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace vk::tools
