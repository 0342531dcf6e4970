// A plain, literal reference of the pipeline's stages: one pixel at a time,
// every formula as written, no fusion, no tables folded together. The
// shipped pipeline must equal it byte for byte.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace vk::reference {

struct Image {
  int w, h;
  std::vector<uint8_t> bgr;
  uint8_t& At(int r, int c, int channel) {
    return bgr[(static_cast<size_t>(r) * w + c) * 3 + channel];
  }
};

constexpr int kB = 0, kG = 1, kR = 2;

inline int Clamp(int v) { return std::clamp(v, 0, 255); }

struct Raw {
  const uint8_t* data;
  int w, h;
  int operator()(int r, int c) const { return data[static_cast<size_t>(r) * w + c]; }
};

// The colour at a site: 1 green, 2 red, 0 blue (even rows G R, odd B G).
inline int Site(int r, int c) {
  if (r % 2 == 0) return c % 2 == 0 ? kG : kR;
  return c % 2 == 0 ? kB : kG;
}

inline Image Mode0(const Raw& X) {
  Image out{X.w, X.h, std::vector<uint8_t>(static_cast<size_t>(X.w) * X.h * 3, 0)};
  for (int r = 1; r <= X.h - 2; ++r) {
    for (int c = 1; c <= X.w - 2; ++c) {
      const int diag = (X(r - 1, c - 1) + X(r - 1, c + 1) + X(r + 1, c - 1) + X(r + 1, c + 1)) >> 2;
      const int edge = (X(r - 1, c) + X(r + 1, c) + X(r, c - 1) + X(r, c + 1)) >> 2;
      const int site = Site(r, c);
      if (site == kR) {
        out.At(r, c, kR) = X(r, c);
        out.At(r, c, kB) = diag;
        out.At(r, c, kG) = edge;
      } else if (site == kB) {
        out.At(r, c, kB) = X(r, c);
        out.At(r, c, kR) = diag;
        out.At(r, c, kG) = edge;
      } else {
        const int row = (X(r, c - 1) + X(r, c + 1)) >> 1;
        const int column = (X(r - 1, c) + X(r + 1, c)) >> 1;
        out.At(r, c, kR) = r % 2 == 0 ? row : column;
        out.At(r, c, kB) = r % 2 == 0 ? column : row;
        out.At(r, c, kG) = (X(r, c) + X(r - 1, c + 1)) >> 1;
      }
    }
  }
  return out;
}

inline Image Mode1(const Raw& X) {
  Image out{X.w, X.h, std::vector<uint8_t>(static_cast<size_t>(X.w) * X.h * 3, 0)};
  for (int r = 2; r <= X.h - 3; ++r) {
    for (int c = 2; c <= X.w - 3; ++c) {
      const int site = Site(r, c);
      const int x = X(r, c);
      if (site == kG) {
        out.At(r, c, kG) = x;
        continue;
      }
      out.At(r, c, site) = x;
      const int dh = std::abs(2 * x - X(r, c - 2) - X(r, c + 2)) + std::abs(X(r, c - 1) - X(r, c + 1));
      const int dv = std::abs(2 * x - X(r - 2, c) - X(r + 2, c)) + std::abs(X(r - 1, c) - X(r + 1, c));
      int g;
      if (dh < dv) g = ((X(r, c - 1) + X(r, c + 1)) >> 1) + ((2 * x - X(r, c - 2) - X(r, c + 2)) >> 2);
      else if (dv < dh) g = ((X(r - 1, c) + X(r + 1, c)) >> 1) + ((2 * x - X(r - 2, c) - X(r + 2, c)) >> 2);
      else g = ((4 * x - X(r - 2, c) - X(r + 2, c) - X(r, c - 2) - X(r, c + 2)) >> 3) +
               ((X(r - 1, c) + X(r + 1, c) + X(r, c - 1) + X(r, c + 1)) >> 2);
      out.At(r, c, kG) = Clamp(g);
    }
  }
  auto G = [&](int r, int c) { return static_cast<int>(out.At(r, c, kG)); };
  auto diagonal = [&](int r, int c) {
    const int gc = G(r, c);
    const int d1 = std::abs(2 * gc - G(r - 1, c + 1) - G(r + 1, c - 1)) + std::abs(X(r - 1, c + 1) - X(r + 1, c - 1));
    const int d2 = std::abs(2 * gc - G(r - 1, c - 1) - G(r + 1, c + 1)) + std::abs(X(r - 1, c - 1) - X(r + 1, c + 1));
    if (d1 < d2) return ((2 * gc - G(r - 1, c + 1) - G(r + 1, c - 1)) >> 1) + ((X(r - 1, c + 1) + X(r + 1, c - 1)) >> 1);
    if (d2 < d1) return ((2 * gc - G(r - 1, c - 1) - G(r + 1, c + 1)) >> 1) + ((X(r - 1, c - 1) + X(r + 1, c + 1)) >> 1);
    return ((4 * gc - G(r - 1, c + 1) - G(r + 1, c - 1) - G(r - 1, c - 1) - G(r + 1, c + 1)) >> 2) +
           ((X(r - 1, c + 1) + X(r + 1, c - 1) + X(r - 1, c - 1) + X(r + 1, c + 1)) >> 2);
  };
  auto vertical = [&](int r, int c) {
    return ((2 * G(r, c) - G(r - 1, c) - G(r + 1, c)) >> 2) + ((X(r - 1, c) + X(r + 1, c)) >> 1);
  };
  auto horizontal = [&](int r, int c) {
    return ((2 * G(r, c) - G(r, c - 1) - G(r, c + 1)) >> 2) + ((X(r, c - 1) + X(r, c + 1)) >> 1);
  };
  std::vector<uint8_t> red(out.bgr.size() / 3), blue(out.bgr.size() / 3);
  for (int r = 2; r <= X.h - 3; ++r) {  // pass 2: red
    for (int c = 2; c <= X.w - 3; ++c) {
      const int site = Site(r, c);
      const size_t i = static_cast<size_t>(r) * X.w + c;
      red[i] = out.At(r, c, kR);
      if (site == kG) red[i] = Clamp(r % 2 ? vertical(r, c) : horizontal(r, c));
      if (site == kB) red[i] = Clamp(diagonal(r, c));
    }
  }
  for (int r = 2; r <= X.h - 3; ++r) {  // pass 3: blue
    for (int c = 2; c <= X.w - 3; ++c) {
      const int site = Site(r, c);
      const size_t i = static_cast<size_t>(r) * X.w + c;
      blue[i] = out.At(r, c, kB);
      if (site == kG) blue[i] = Clamp(r % 2 == 0 ? vertical(r, c) : horizontal(r, c));
      if (site == kR) blue[i] = Clamp(diagonal(r, c));
    }
  }
  for (int r = 2; r <= X.h - 3; ++r)
    for (int c = 2; c <= X.w - 3; ++c) {
      out.At(r, c, kR) = red[static_cast<size_t>(r) * X.w + c];
      out.At(r, c, kB) = blue[static_cast<size_t>(r) * X.w + c];
    }
  return out;
}

inline Image Mode2(const Raw& X) {
  const int w = X.w, h = X.h;
  // On an odd width the last column's rule names the column past the edge:
  // the sample at the edge stands in, never one outside the frame.
  auto Border = [&](int r, int c) {
    return X(std::clamp(r, 0, h - 1), std::clamp(c, 0, w - 1));
  };
  Image out{w, h, std::vector<uint8_t>(static_cast<size_t>(w) * h * 3, 0)};
  auto set = [&](int r, int c, int b, int g, int red) {
    out.At(r, c, kB) = static_cast<uint8_t>(b);
    out.At(r, c, kG) = static_cast<uint8_t>(g);
    out.At(r, c, kR) = static_cast<uint8_t>(red);
  };
  for (int r = 1; r <= h - 2; ++r) {
    if (r % 2)
      set(r, 0, Border(r, 0), Border(r, 1), Border(r + 1, 1));
    else
      set(r, 0, Border(r + 1, 0), Border(r, 0), Border(r, 1));
    if (r % 2)
      set(r, w - 1, Border(r, w - 2), Border(r, w - 1), Border(r - 1, w - 1));
    else
      set(r, w - 1, Border(r + 1, w - 2), Border(r, w - 2), Border(r, w - 1));
  }
  for (int c = 0; c < w; ++c) {
    if (c % 2)
      set(0, c, Border(1, c - 1), Border(0, c - 1), Border(0, c));
    else
      set(0, c, Border(1, c), Border(0, c), Border(0, c + 1));
    if (c % 2)
      set(h - 1, c, Border(h - 1, c - 1), Border(h - 1, c), Border(h - 2, c));
    else
      set(h - 1, c, Border(h - 1, c), Border(h - 1, c + 1),
          Border(h - 2, c + 1));
  }
  for (int r = 1; r <= h - 2; ++r)
    for (int c = 1; c <= w - 2; ++c) {
      const int site = Site(r, c);
      out.At(r, c, kR) = out.At(r, c, kG) = out.At(r, c, kB) = 0;
      out.At(r, c, site) = X(r, c);
      if (site == kG) continue;
      const int v = std::abs(X(r - 1, c) - X(r + 1, c)), hz = std::abs(X(r, c - 1) - X(r, c + 1));
      out.At(r, c, kG) = v < hz ? (X(r - 1, c) + X(r + 1, c)) >> 1
                       : hz < v ? (X(r, c - 1) + X(r, c + 1)) >> 1
                                : (X(r - 1, c) + X(r + 1, c) + X(r, c - 1) + X(r, c + 1)) >> 2;
    }
  auto G = [&](int r, int c) { return static_cast<int>(out.At(r, c, kG)); };
  Image next = out;
  for (int r = 1; r <= h - 2; ++r)
    for (int c = 1; c <= w - 2; ++c) {
      const int site = Site(r, c), x = X(r, c);
      const int row = ((X(r, c - 1) + X(r, c + 1)) >> 1) + x - ((G(r, c - 1) + G(r, c + 1)) >> 1);
      const int column = ((X(r - 1, c) + X(r + 1, c)) >> 1) + x - ((G(r - 1, c) + G(r + 1, c)) >> 1);
      const int diag = ((X(r - 1, c - 1) + X(r - 1, c + 1) + X(r + 1, c - 1) + X(r + 1, c + 1)) >> 2) + G(r, c) -
                       ((G(r - 1, c - 1) + G(r - 1, c + 1) + G(r + 1, c - 1) + G(r + 1, c + 1)) >> 2);
      if (site == kG && r % 2) {
        next.At(r, c, kB) = Clamp(row);
        next.At(r, c, kR) = Clamp(column);
      } else if (site == kG) {
        next.At(r, c, kB) = Clamp(column);
        next.At(r, c, kR) = Clamp(row);
      } else if (site == kB) {
        next.At(r, c, kR) = Clamp(diag);
      } else {
        next.At(r, c, kB) = Clamp(diag);
      }
    }
  return next;
}

struct Settings {
  int mode = 0;
  bool mono = false, color = true, hflip = false, vflip = false;
  int saturation = 128;
  int gains[3] = {74, 64, 96};
  int matrix[3][3] = {{205, -65, -12}, {-63, 222, -32}, {-34, -125, 286}};
  int gamma = 100, contrast = 20;
};

inline std::vector<uint8_t> ToneTable(int gamma, int contrast) {
  std::vector<uint8_t> t(256);
  for (int i = 0; i < 256; ++i) {
    int g = static_cast<int>(255.0 * std::pow(i / 255.0, gamma * static_cast<double>(0.01f)));
    g = Clamp(g);
    const int d = std::abs(128 - g) * contrast / 128;
    t[i] = static_cast<uint8_t>(g >= 128 ? std::min(255, g + d) : std::max(0, g - d));
  }
  return t;
}

inline int Gain(int v, int gain) { return std::min(255, (v * gain) >> 6); }

inline Image Process(const Raw& X, const Settings& s) {
  Image img = s.mode == 1 ? Mode1(X) : s.mode == 2 ? Mode2(X) : Mode0(X);
  const std::vector<uint8_t> tone = ToneTable(s.gamma, s.contrast);
  const int b = 128 - s.saturation;
  const int kr = b * 308 / 1000, kg = b * 609 / 1000, kb = b * 82 / 1000;
  for (int r = 0; r < img.h; ++r)
    for (int c = 0; c < img.w; ++c) {
      int R = img.At(r, c, kR), G = img.At(r, c, kG), B = img.At(r, c, kB);
      if (s.mono) {
        R = G = B = (R * 19595 + G * 38469 + B * 7472) >> 16;
      } else if (s.color) {
        const int r1 = Gain(R, s.gains[0]), g1 = Gain(G, s.gains[1]), b1 = Gain(B, s.gains[2]);
        const int tr = (s.saturation + kr) * r1 + kg * g1 + kb * b1;
        const int tg = kr * r1 + (s.saturation + kg) * g1 + kb * b1;
        const int tb = kr * r1 + kg * g1 + (s.saturation + kb) * b1;
        int v[3];
        for (int k = 0; k < 3; ++k) {
          const int x = s.matrix[k][0] * tr + s.matrix[k][1] * tg + s.matrix[k][2] * tb;
          v[k] = x >= 0x400000 ? 255 : x < 0 ? 0 : x >> 14;
        }
        R = v[0], G = v[1], B = v[2];
      } else {
        R = Gain(R, s.gains[0]), G = Gain(G, s.gains[1]), B = Gain(B, s.gains[2]);
      }
      img.At(r, c, kR) = tone[R];
      img.At(r, c, kG) = tone[G];
      img.At(r, c, kB) = tone[B];
    }
  if (s.hflip)
    for (int r = 0; r < img.h; ++r)
      for (int j = 0; j < img.w / 2; ++j)
        for (int k = 0; k < 3; ++k) std::swap(img.At(r, j, k), img.At(r, img.w - 1 - j, k));
  if (!s.vflip)
    for (int i = 0; i < img.h / 2; ++i)
      for (int c = 0; c < img.w; ++c)
        for (int k = 0; k < 3; ++k) std::swap(img.At(i, c, k), img.At(img.h - 1 - i, c, k));
  return img;
}

}  // namespace vk::reference
