// The compressors installed on the Linux host, behind the compressor
// interface: each takes 24-bit bottom-up DIB frames (rows padded to four
// bytes) and hands back the stored frame.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/host/vfw_api.h"

namespace vk::vfw {

class Encoder {
 public:
  virtual ~Encoder() = default;
  // false when the encoder cannot take frames of this size.
  virtual bool Start(int width, int height, int rate) = 0;
  virtual bool Encode(const uint8_t* dib, std::vector<uint8_t>* out, bool* key) = 0;
  // biCompression of the stored frames and their chunk id ('00dc'/'00db').
  virtual FOURCC compression() const = 0;
  virtual FOURCC chunk_id() const = 0;
};

struct Compressor {
  FOURCC handler;
  const char* name;
  const char* description;
  // quality 0..10000, or -1 for the compressor's default
  std::unique_ptr<Encoder> (*make)(int quality);
};

// In enumeration order.
const std::vector<Compressor>& InstalledCompressors();
// Handlers compare without regard to case ('xvid' is 'XVID').
const Compressor* FindCompressor(FOURCC handler);

int DibStride(int width);

}  // namespace vk::vfw
