#include "tools/vkcam/stored_video.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace vk::tools {
namespace {

// The stream headers sit in the header list at the start of the file.
constexpr size_t kHeaderArea = 64 * 1024;
// Offsets in a stream header's data.
constexpr size_t kScale = 20, kRate = 24, kLength = 32, kStreamHeaderBytes = 56;

uint32_t Le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

bool ReadStoredVideo(const std::string& path, StoredVideo* video) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  std::vector<uint8_t> head(kHeaderArea);
  head.resize(std::fread(head.data(), 1, head.size(), file));
  std::fclose(file);
  // Chunk id "strh", its size, then the header whose type is "vids".
  for (size_t at = 12; at + 8 + kStreamHeaderBytes <= head.size(); ++at) {
    const uint8_t* chunk = head.data() + at;
    if (std::memcmp(chunk, "strh", 4) != 0 ||
        std::memcmp(chunk + 8, "vids", 4) != 0)
      continue;
    const uint8_t* data = chunk + 8;
    video->scale = Le32(data + kScale);
    video->rate = Le32(data + kRate);
    video->frames = Le32(data + kLength);
    return true;
  }
  return false;
}

}  // namespace vk::tools
