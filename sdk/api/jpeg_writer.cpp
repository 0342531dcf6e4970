// JPEG stills on libjpeg's IJG 6 interface: the first stage turns the
// pipeline's bottom-up BGR image into top-down RGB rows and tells the user
// about failures; the second stage compresses with the library's defaults
// at the given quality, one scan line per call. Without libjpeg (a Windows
// build without it) the second stage always fails.
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "platform/win32.h"
#include "sdk/api/still_writers.h"

#ifndef VKCAM_NO_JPEG
#include <jpeglib.h>
#endif

namespace vk::sdk {
namespace {

constexpr int kMessageBytes = 200;

void Say(const char* text) { MessageBoxA(nullptr, text, nullptr, MB_OK); }

// Top-down rows in red, green, blue order from the bottom-up BGR image.
void ToTopDownRgb(uint8_t* image, int width, int height) {
  const size_t row = static_cast<size_t>(width) * 3;
  std::unique_ptr<uint8_t[]> scratch(new (std::nothrow) uint8_t[row]);
  if (scratch) {
    for (int i = 0; i < (height + 1) / 2; ++i) {
      uint8_t* a = image + row * i;
      uint8_t* b = image + row * (height - 1 - i);
      std::memcpy(scratch.get(), a, row);
      std::memmove(a, b, row);
      std::memcpy(b, scratch.get(), row);
    }
  }
  const size_t pixels = static_cast<size_t>(width) * height;
  for (size_t p = 0; p < pixels; ++p) std::swap(image[p * 3], image[p * 3 + 2]);
}

#ifndef VKCAM_NO_JPEG
struct ErrorManager {
  jpeg_error_mgr standard;
  jmp_buf return_point;
  char message[kMessageBytes];
};

[[noreturn]] void ReturnToWriter(j_common_ptr info) {
  auto* errors = reinterpret_cast<ErrorManager*>(info->err);
  char text[JMSG_LENGTH_MAX];
  info->err->format_message(info, text);
  std::snprintf(errors->message, kMessageBytes, "%s", text);
  std::longjmp(errors->return_point, 1);
}

// libjpeg's warnings reach the user in a box of their own.
void ShowWarning(j_common_ptr info) {
  char text[JMSG_LENGTH_MAX];
  info->err->format_message(info, text);
  MessageBoxA(nullptr, text, "JPEG Error", MB_OK);
}
#endif

}  // namespace

int CompressJpeg(const char* path, const uint8_t* rows, int width, int height,
                 int quality) {
#ifdef VKCAM_NO_JPEG
  // Built without libjpeg: told in the box the library's errors use.
  (void)path, (void)rows, (void)width, (void)height, (void)quality;
  MessageBoxA(nullptr, "JPEG compression is not available in this build", "JPEG Error", MB_OK);
  return 0;
#else
  if (rows == nullptr || width == 0 || height == 0) return 0;
  jpeg_compress_struct compressor;
  ErrorManager errors;
  // Read after a jump back: kept where the jump cannot lose it.
  FILE* volatile file = nullptr;
  compressor.err = jpeg_std_error(&errors.standard);
  errors.standard.error_exit = &ReturnToWriter;
  errors.standard.output_message = &ShowWarning;
  if (setjmp(errors.return_point)) {
    jpeg_destroy_compress(&compressor);
    if (file) std::fclose(file);
    return 0;
  }
  jpeg_create_compress(&compressor);
  file = std::fopen(path, "wb");
  if (!file) {
    char text[MAX_PATH + 32];
    std::snprintf(text, sizeof(text), "JpegFile :\nCan't open %s\n", path);
    Say(text);
    jpeg_destroy_compress(&compressor);
    return 0;
  }
  jpeg_stdio_dest(&compressor, file);
  compressor.image_width = static_cast<JDIMENSION>(width);
  compressor.image_height = static_cast<JDIMENSION>(height);
  compressor.input_components = 3;
  compressor.in_color_space = JCS_RGB;
  jpeg_set_defaults(&compressor);
  jpeg_set_quality(&compressor, quality, TRUE);
  jpeg_start_compress(&compressor, TRUE);
  const size_t stride = static_cast<size_t>(width) * 3;
  while (compressor.next_scanline < compressor.image_height) {
    JSAMPROW row = const_cast<uint8_t*>(rows) + compressor.next_scanline * stride;
    jpeg_write_scanlines(&compressor, &row, 1);
  }
  jpeg_finish_compress(&compressor);
  FILE* done = file;
  file = nullptr;
  const bool closed = std::fclose(done) == 0;  // a full disk shows here too
  jpeg_destroy_compress(&compressor);
  return closed ? 1 : 0;
#endif
}

int WriteJpegFile(const char* path, const uint8_t* image, int width, int height,
                  int quality) {
  if (image == nullptr) {
    Say("No Image!");
    return 0;
  }
  const size_t bytes = static_cast<size_t>(width) * height * 3;
  std::unique_ptr<uint8_t[]> copy(new (std::nothrow) uint8_t[bytes]);
  if (!copy) {
    Say("memory is over!");
    return 0;
  }
  std::memcpy(copy.get(), image, bytes);
  ToTopDownRgb(copy.get(), width, height);
  if (quality <= 0) quality = 1;
  if (quality >= 100) quality = 100;
  if (CompressJpeg(path, copy.get(), width, height, quality) != 1) {
    Say("Write Error");
    return 0;
  }
  return 1;
}

}  // namespace vk::sdk
