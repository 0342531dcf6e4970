// A quick look at a raw Bayer frame: each 2 x 2 cell (G R / B G) becomes one
// colour shared by its four pixels, written as an 8-bit RGB PNG. Not the
// SDK's pipeline: just enough to see what the camera sent.
#pragma once

#include <cstdint>
#include <string>

namespace vk::tools {

bool WriteQuickLookPng(const std::string& path, const uint8_t* raw, int width,
                       int height);

}  // namespace vk::tools
