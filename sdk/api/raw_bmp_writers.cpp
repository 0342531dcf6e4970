// RAW and BMP files. Rows of a BMP are padded to four bytes, so that every
// file written is a standard BMP, also for region widths whose rows are not
// a multiple of four bytes long.
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/byte_order.h"
#include "platform/win32.h"
#include "sdk/api/still_writers.h"

namespace vk::sdk {
namespace {

constexpr int kBmpHeaderBytes = 54;
constexpr int kInfoHeaderBytes = 40;

FILE* CreateFileOrSay(const char* path) {
  FILE* file = std::fopen(path, "wb");
  if (!file) MessageBoxA(nullptr, "can't create file", nullptr, MB_OK);
  return file;
}

// Closes the file; a write that fell short (a full disk) is a failure the
// user hears about.
int Finish(FILE* file, bool written) {
  const bool closed = std::fclose(file) == 0;
  if (written && closed) return 1;
  MessageBoxA(nullptr, "Write Error", nullptr, MB_OK);
  return -6;
}

void BmpHeader(int width, int height, uint8_t* h) {
  std::memset(h, 0, kBmpHeaderBytes);
  const uint32_t pixels = static_cast<uint32_t>(BmpStride(width)) * height;
  h[0] = 'B';
  h[1] = 'M';
  StoreLe32(h + 2, pixels + kBmpHeaderBytes);
  StoreLe32(h + 10, kBmpHeaderBytes);
  StoreLe32(h + 14, kInfoHeaderBytes);
  StoreLe32(h + 18, static_cast<uint32_t>(width));
  StoreLe32(h + 22, static_cast<uint32_t>(height));
  StoreLe16(h + 26, 1);
  StoreLe16(h + 28, 24);
}

}  // namespace

int WriteRawFile(const char* path, const uint8_t* raw, int width, int height) {
  FILE* file = CreateFileOrSay(path);
  if (!file) return -6;
  const size_t bytes = static_cast<size_t>(width) * height;
  return Finish(file, std::fwrite(raw, 1, bytes, file) == bytes);
}

int WriteBmpFile(const char* path, const uint8_t* image, int width, int height) {
  FILE* file = CreateFileOrSay(path);
  if (!file) return -6;
  uint8_t header[kBmpHeaderBytes];
  BmpHeader(width, height, header);
  bool written = std::fwrite(header, 1, sizeof(header), file) == sizeof(header);
  const size_t row = static_cast<size_t>(width) * 3;
  const size_t stride = static_cast<size_t>(BmpStride(width));
  if (row == stride) {
    written = written && std::fwrite(image, 1, row * height, file) == row * height;
  } else {
    std::vector<uint8_t> padded(stride, 0);
    for (int y = 0; y < height && written; ++y) {
      std::memcpy(padded.data(), image + row * y, row);
      written = std::fwrite(padded.data(), 1, stride, file) == stride;
    }
  }
  return Finish(file, written);
}

}  // namespace vk::sdk
