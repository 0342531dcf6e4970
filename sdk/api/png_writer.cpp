// PNG stills on libpng: 8-bit RGB, no interlacing, the library's default
// compression and filters, rows top-down. Every libpng step has its return
// point; a failure prints one "[write_png_file] ..." line on standard error
// and gives the file up. Without libpng (a Windows build without it) every
// write fails at the first step.
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "platform/win32.h"
#include "sdk/api/still_writers.h"

#ifndef VKCAM_NO_PNG
#include <png.h>
#endif

namespace vk::sdk {
namespace {

void Report(const char* text) { std::fprintf(stderr, "[write_png_file] %s\n", text); }

#ifndef VKCAM_NO_PNG
// Row y of the bottom-up BGR image becomes PNG row height - 1 - y in RGB.
std::vector<std::vector<uint8_t>> TopDownRgbRows(const uint8_t* image, int width,
                                                 int height) {
  const size_t stride = static_cast<size_t>(width) * 3;
  std::vector<std::vector<uint8_t>> rows(height, std::vector<uint8_t>(stride));
  for (int y = 0; y < height; ++y) {
    const uint8_t* in = image + stride * y;
    uint8_t* out = rows[height - 1 - y].data();
    for (size_t x = 0; x < stride; x += 3) {
      out[x] = in[x + 2];
      out[x + 1] = in[x + 1];
      out[x + 2] = in[x];
    }
  }
  return rows;
}

// The libpng steps after the structures exist; false after a report.
bool WriteSteps(png_structp png, png_infop info, FILE* file,
                std::vector<png_bytep>& table, int width, int height) {
  if (setjmp(png_jmpbuf(png))) {
    Report("Error during init_io");
    return false;
  }
  png_init_io(png, file);
  if (setjmp(png_jmpbuf(png))) {
    Report("Error during writing header");
    return false;
  }
  png_set_IHDR(png, info, static_cast<png_uint_32>(width),
               static_cast<png_uint_32>(height), 8, PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE,
               PNG_FILTER_TYPE_BASE);
  png_write_info(png, info);
  if (setjmp(png_jmpbuf(png))) {
    Report("Error during writing bytes");
    return false;
  }
  png_write_image(png, table.data());
  if (setjmp(png_jmpbuf(png))) {
    Report("Error during end of write");
    return false;
  }
  png_write_end(png, nullptr);
  return true;
}
#endif

}  // namespace

bool CPngWriter::Write(const char* path, const uint8_t* image, int width,
                       int height) {
#ifdef VKCAM_NO_PNG
  (void)image;
  width_ = width;
  height_ = height;
  std::FILE* file = std::fopen(path, "wb");
  if (!file) {
    std::fprintf(stderr, "[write_png_file] File %s could not be opened for writing\n", path);
    return false;
  }
  std::fclose(file);
  Report("png_create_write_struct failed");
  return false;
#else
  FILE* file = std::fopen(path, "wb");
  if (!file) {
    std::fprintf(stderr, "[write_png_file] File %s could not be opened for writing\n", path);
    return false;
  }
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (!png) {
    Report("png_create_write_struct failed");
    std::fclose(file);
    return false;
  }
  png_infop info = png_create_info_struct(png);
  if (!info) {
    Report("png_create_info_struct failed");
    png_destroy_write_struct(&png, nullptr);
    std::fclose(file);
    return false;
  }
  width_ = width;
  height_ = height;
  std::vector<std::vector<uint8_t>> rows;
  std::vector<png_bytep> table;
  try {
    rows = TopDownRgbRows(image, width, height);
    table.resize(height);
  } catch (const std::bad_alloc&) {
    MessageBoxA(nullptr, "memory is over!", nullptr, MB_OK);
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
    return false;
  }
  for (int y = 0; y < height; ++y) table[y] = rows[y].data();
  bool written = WriteSteps(png, info, file, table, width, height);
  png_destroy_write_struct(&png, &info);
  // A full disk may show only when the last bytes leave the buffer.
  if (std::fclose(file) != 0 && written) {
    Report("Error during end of write");
    written = false;
  }
  return written;
#endif
}

}  // namespace vk::sdk
