// The writers of still image files: RAW (the Bayer frame as read), BMP
// (24-bit, bottom-up), JPEG through libjpeg and PNG through libpng. Images
// are RGB24 as the pipeline makes them: blue, green, red, bottom row first,
// rows without padding.
#pragma once

#include <cstdint>

namespace vk::sdk {

// 1, or -6 with "can't create file" (or "Write Error" when the disk fills).
int WriteRawFile(const char* path, const uint8_t* raw, int width, int height);
int WriteBmpFile(const char* path, const uint8_t* image, int width, int height);

// 1, or 0 after telling the user ("No Image!", "memory is over!",
// "JpegFile :\nCan't open ...", "Write Error"). Quality 0 acts as 1,
// 100 and above as 100.
int WriteJpegFile(const char* path, const uint8_t* image, int width, int height,
                  int quality);
// The second stage: rows top-down in red, green, blue order. 1 or 0.
int CompressJpeg(const char* path, const uint8_t* rows, int width, int height,
                 int quality);

// PNG writer: 8-bit RGB, rows top-down. Failures are reported on standard
// error ("[write_png_file] ...") and give up the file.
class CPngWriter {
 public:
  CPngWriter() = default;
  virtual ~CPngWriter() = default;
  CPngWriter(const CPngWriter&) = delete;
  CPngWriter& operator=(const CPngWriter&) = delete;

  // true when the whole file was written.
  bool Write(const char* path, const uint8_t* image, int width, int height);
  int width() const { return width_; }
  int height() const { return height_; }

 private:
  int width_ = 0;
  int height_ = 0;
};

// Bytes of one BMP row: three per pixel, padded to a multiple of four.
constexpr int BmpStride(int width) { return (width * 3 + 3) & ~3; }

}  // namespace vk::sdk
