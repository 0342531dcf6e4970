// What an AVI file says of its video stream, read back from the file's
// stream header, so that vkcam reports what a player will see.
#pragma once

#include <cstdint>
#include <string>

namespace vk::tools {

struct StoredVideo {
  uint32_t frames = 0;  // the stream's length in samples, empty ones included
  uint32_t rate = 0;    // frames per second = rate / scale
  uint32_t scale = 0;
};

// False when the file cannot be read or has no video stream header.
bool ReadStoredVideo(const std::string& path, StoredVideo* video);

}  // namespace vk::tools
