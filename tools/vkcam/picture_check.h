// Pictures as a viewer sees them (rows top to bottom, red, green, blue),
// made from the pixel layouts images travel in, and compared coarsely: two
// takes of one scene by different pipelines and exposures agree in where
// things are and what colour they have, not in their bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vk::tools {

struct Picture {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;  // top-down, red, green, blue
};

// A DIB's pixels: rows bottom-up (top-down when `top_down`), each
// blue, green, red, `stride` bytes apart.
Picture FromDib(const uint8_t* pixels, int width, int height, size_t stride,
                bool top_down);
// Rows top-down, each red, green, blue, no padding.
Picture FromRgb(const uint8_t* pixels, int width, int height);

// The two ways a picture goes wrong in transit.
Picture UpsideDown(const Picture& picture);
Picture RedBlueExchanged(const Picture& picture);

// Mean difference of the pictures' block colours, each picture scaled to
// the same mean brightness first (0 = alike; -1 when the sizes differ).
double Difference(const Picture& a, const Picture& b);

struct Likeness {
  double as_is = 0, upside_down = 0, exchanged = 0;
  // Closer to the reference as it is than turned over or with red and
  // blue exchanged, and close in itself.
  bool upright_and_right = false;
};
Likeness Compare(const Picture& picture, const Picture& reference);

}  // namespace vk::tools
