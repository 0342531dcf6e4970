// The three demosaic modes. Each works row by row with the raw rows it
// needs at hand, one specialised loop per row parity.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "sdk/core/isp.h"

namespace vk::isp {
namespace {

constexpr int B = 0, G = 1, R = 2;  // byte order of a pixel

inline uint8_t Clamp(int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

void BlackRow(uint8_t* row, Geometry g) {
  std::memset(row, 0, static_cast<size_t>(g.width) * 3);
}

inline uint8_t* Pixel(uint8_t* out, Geometry g, int r, int c) {
  return out + (static_cast<size_t>(r) * g.width + c) * 3;
}

// The neighbourhood of row r for the second passes: raw rows r-1, r, r+1,
// the output row r, and the green plane of output rows r-1, r, r+1 (byte 1
// of each pixel, pixels 3 bytes apart).
struct Rows {
  const uint8_t *xu, *x0, *xd;
  uint8_t* row;
  const uint8_t *gu, *g0, *gd;
};

Rows RowsAround(const uint8_t* raw, uint8_t* row, Geometry g, int r) {
  const uint8_t* xu = raw + static_cast<size_t>(r - 1) * g.width;
  const size_t stride = static_cast<size_t>(g.width) * 3;
  return {xu, xu + g.width, xu + 2 * g.width, row,
          row - stride + G, row + G, row + stride + G};
}

}  // namespace

namespace {

// Mode 0 at one interior pixel of a row whose own colour at red or blue
// sites is `own` (red on even rows, blue on odd ones).
inline void Bilinear(const uint8_t* up, const uint8_t* x, const uint8_t* down,
                     uint8_t* p, int c, bool green, bool even) {
  if (green) {
    p[G] = static_cast<uint8_t>((x[c] + up[c + 1]) >> 1);
    // Even row: red left and right, blue above and below; odd: swapped.
    const auto row = static_cast<uint8_t>((x[c - 1] + x[c + 1]) >> 1);
    const auto column = static_cast<uint8_t>((up[c] + down[c]) >> 1);
    p[R] = even ? row : column;
    p[B] = even ? column : row;
  } else {
    const auto diagonal = static_cast<uint8_t>(
        (up[c - 1] + up[c + 1] + down[c - 1] + down[c + 1]) >> 2);
    p[even ? R : B] = x[c];
    p[even ? B : R] = diagonal;
    p[G] = static_cast<uint8_t>((up[c] + down[c] + x[c - 1] + x[c + 1]) >> 2);
  }
}

// One interior row: columns go in pairs of fixed sites, so the inner loop
// has no test of its own. Even rows start green at even columns; odd rows
// blue at even columns.
template <bool kEven>
void BilinearRow(const uint8_t* up, const uint8_t* x, const uint8_t* down,
                 uint8_t* out, int w) {
  // The vector form takes whole blocks from column 1 and leaves an odd column.
  int c = HasAvx2() ? Demosaic0RowVector(up, x, down, out, w, kEven) : 1;
  for (; c + 1 < w - 1; c += 2) {
    Bilinear(up, x, down, out + 3 * c, c, !kEven, kEven);
    Bilinear(up, x, down, out + 3 * (c + 1), c + 1, kEven, kEven);
  }
  for (; c < w - 1; ++c)
    Bilinear(up, x, down, out + 3 * c, c, ((c & 1) == 0) == kEven, kEven);
}

}  // namespace

void Demosaic0Row(const uint8_t* raw, Geometry g, int r, uint8_t* row) {
  const int w = g.width, h = g.height;
  if (r == 0 || r == h - 1) {
    BlackRow(row, g);
    return;
  }
  const uint8_t* up = raw + static_cast<size_t>(r - 1) * w;
  const uint8_t* x = up + w;
  const uint8_t* down = x + w;
  row[0] = row[1] = row[2] = 0;
  if ((r & 1) == 0) {
    BilinearRow<true>(up, x, down, row, w);
  } else {
    BilinearRow<false>(up, x, down, row, w);
  }
  uint8_t* end = row + 3 * static_cast<size_t>(w - 1);
  end[0] = end[1] = end[2] = 0;
}

void Demosaic0RowEnds(const uint8_t* raw, Geometry g, int r, int from,
                      uint8_t* row) {
  const int w = g.width;
  const uint8_t* up = raw + static_cast<size_t>(r - 1) * w;
  const uint8_t* x = up + w;
  const uint8_t* down = x + w;
  const bool even = (r & 1) == 0;
  row[0] = row[1] = row[2] = 0;
  for (int c = std::max(from, 1); c < w - 1; ++c)
    Bilinear(up, x, down, row + 3 * c, c, ((c & 1) == 0) == even, even);
  uint8_t* end = row + 3 * static_cast<size_t>(w - 1);
  end[0] = end[1] = end[2] = 0;
}

void Demosaic0(const uint8_t* raw, uint8_t* out, Geometry g, int first,
               int last) {
  for (int r = first; r < last; ++r)
    Demosaic0Row(raw, g, r, Pixel(out, g, r, 0));
}

// ---- Mode 1: gradient-corrected, border of two ----

namespace {

// The green of the row's columns [first, last) copied from its pixels.
void CopyGreen(const uint8_t* row, int first, int last, uint8_t* green) {
  for (int c = first; c < last; ++c) green[c] = row[3 * c + G];
}

}  // namespace

void Mode1GreenRow(const uint8_t* raw, Geometry g, int r, uint8_t* row,
                   uint8_t* green) {
  const int w = g.width, h = g.height;
  if (r < 2 || r > h - 3) {
    BlackRow(row, g);
    if (green != nullptr) std::memset(green, 0, static_cast<size_t>(w));
    return;
  }
  // Rows r-2 .. r+2 of the raw frame.
  const uint8_t* x2u = raw + static_cast<size_t>(r - 2) * w;
  const uint8_t* x1u = x2u + w;
  const uint8_t* x0 = x1u + w;
  const uint8_t* x1d = x0 + w;
  const uint8_t* x2d = x1d + w;
  const bool even = (r & 1) == 0;
  const int own = even ? R : B;
  // Red and blue sites sit on odd columns of even rows, even columns of
  // odd rows; green sites in between.
  const int start = HasAvx2() ? Mode1GreenRowVector(x2u, x1u, x0, x1d, x2d, row,
                                                    w, even, green)
                              : 2;
  // The vector form wrote whole pixels; the rest start from 0.
  std::memset(row, 0, static_cast<size_t>(std::min(w, 2)) * 3);
  if (w > start)
    std::memset(row + 3 * start, 0, static_cast<size_t>(w - start) * 3);
  for (int c = start; c <= w - 3; ++c) {
    uint8_t* p = row + 3 * c;
    const int x = x0[c];
    if (((c & 1) == 0) == even) {
      p[G] = static_cast<uint8_t>(x);
      continue;
    }
    p[own] = static_cast<uint8_t>(x);
    const int hg = 2 * x - x0[c - 2] - x0[c + 2];
    const int vg = 2 * x - x2u[c] - x2d[c];
    const int dh = std::abs(hg) + std::abs(x0[c - 1] - x0[c + 1]);
    const int dv = std::abs(vg) + std::abs(x1u[c] - x1d[c]);
    // All three estimates, then a selection without branches: the choice
    // follows the image, which branch prediction cannot.
    const int along_row = ((x0[c - 1] + x0[c + 1]) >> 1) + (hg >> 2);
    const int along_column = ((x1u[c] + x1d[c]) >> 1) + (vg >> 2);
    const int both = ((4 * x - x2u[c] - x2d[c] - x0[c - 2] - x0[c + 2]) >> 3) +
                     ((x1u[c] + x1d[c] + x0[c - 1] + x0[c + 1]) >> 2);
    const int v = dh < dv ? along_row : dv < dh ? along_column : both;
    p[G] = Clamp(v);
  }
  if (green != nullptr) {
    CopyGreen(row, 0, std::min(w, 2), green);
    CopyGreen(row, start, w, green);
  }
}

void Mode1Green(const uint8_t* raw, uint8_t* out, Geometry g, int first,
                int last) {
  for (int r = first; r < last; ++r)
    Mode1GreenRow(raw, g, r, Pixel(out, g, r, 0));
}

namespace {

// The diagonal rule of mode 1: the colour missing at a red or blue site from
// the diagonal neighbours, steered by the green plane.
inline int Mode1Diagonal(int gc, int g_ne, int g_sw, int g_nw, int g_se,
                         int x_ne, int x_sw, int x_nw, int x_se) {
  const int d1 = std::abs(2 * gc - g_ne - g_sw) + std::abs(x_ne - x_sw);
  const int d2 = std::abs(2 * gc - g_nw - g_se) + std::abs(x_nw - x_se);
  const int first = ((2 * gc - g_ne - g_sw) >> 1) + ((x_ne + x_sw) >> 1);
  const int second = ((2 * gc - g_nw - g_se) >> 1) + ((x_nw + x_se) >> 1);
  const int both = ((4 * gc - g_ne - g_sw - g_nw - g_se) >> 2) +
                   ((x_ne + x_sw + x_nw + x_se) >> 2);
  return d1 < d2 ? first : d2 < d1 ? second : both;
}

}  // namespace

namespace {

void Mode1RedBlueFrom(const uint8_t* raw, Geometry g, int r, uint8_t* out_row,
                      int start) {
  const int w = g.width;
  const auto [xu, x0, xd, row, gu, g0, gd] = RowsAround(raw, out_row, g, r);
  const bool even = (r & 1) == 0;
  for (int c = start; c < w - 2; ++c) {
    uint8_t* p = row + 3 * c;
    const int gc = g0[3 * c];
    if (((c & 1) == 0) == even) {
      // Red and blue from the two pairs of neighbours: even rows have red
      // left and right, odd rows above and below (blue the other way).
      const int horizontal =
          ((2 * gc - g0[3 * (c - 1)] - g0[3 * (c + 1)]) >> 2) +
          ((x0[c - 1] + x0[c + 1]) >> 1);
      const int vertical =
          ((2 * gc - gu[3 * c] - gd[3 * c]) >> 2) + ((xu[c] + xd[c]) >> 1);
      p[R] = Clamp(even ? horizontal : vertical);
      p[B] = Clamp(even ? vertical : horizontal);
    } else {
      p[even ? B : R] = Clamp(Mode1Diagonal(
          gc, gu[3 * (c + 1)], gd[3 * (c - 1)], gu[3 * (c - 1)],
          gd[3 * (c + 1)], xu[c + 1], xd[c - 1], xu[c - 1], xd[c + 1]));
    }
  }
}

}  // namespace

void Mode1RedBlueRow(const uint8_t* raw, Geometry g, int r, uint8_t* out_row,
                     bool whole_pixels, const uint8_t* green) {
  const int w = g.width, h = g.height;
  if (r < 2 || r >= h - 2) return;
  const uint8_t* xu = raw + static_cast<size_t>(r - 1) * w;
  const int start =
      HasAvx2() && whole_pixels
          ? Mode1RedBlueRowVector(xu, xu + w, xu + 2 * static_cast<size_t>(w),
                                  out_row, static_cast<size_t>(w) * 3, w,
                                  (r & 1) == 0, green)
          : 2;
  Mode1RedBlueFrom(raw, g, r, out_row, start);
}

void Mode1RedBlue(const uint8_t* raw, uint8_t* out, Geometry g, int first,
                  int last) {
  // The vector form stores whole pixels, green included: only on rows
  // whose neighbours no other band reads or writes meanwhile.
  for (int r = first; r < last; ++r)
    Mode1RedBlueRow(raw, g, r, Pixel(out, g, r, 0), r > first && r < last - 1);
}

// ---- Mode 2: edge-directed, border filled from the sample cell ----

namespace {

void Mode2Border(const uint8_t* raw, uint8_t* row, Geometry g, int r, int c) {
  const int w = g.width, h = g.height;
  auto X = [&](int rr, int cc) {
    rr = std::clamp(rr, 0, h - 1);
    cc = std::clamp(cc, 0, w - 1);
    return raw[static_cast<size_t>(rr) * w + cc];
  };
  uint8_t* p = row + 3 * static_cast<size_t>(c);
  const bool odd_row = r & 1, odd_column = c & 1;
  // A one-row or one-column frame is both first and last: the last rule
  // holds, as the last row and column are filled after the first.
  if (r == h - 1) {
    if (odd_column) {
      p[B] = X(h - 1, c - 1), p[G] = X(h - 1, c), p[R] = X(h - 2, c);
    } else {
      p[B] = X(h - 1, c), p[G] = X(h - 1, c + 1), p[R] = X(h - 2, c + 1);
    }
  } else if (r == 0) {
    if (odd_column) {
      p[B] = X(1, c - 1), p[G] = X(0, c - 1), p[R] = X(0, c);
    } else {
      p[B] = X(1, c), p[G] = X(0, c), p[R] = X(0, c + 1);
    }
  } else if (c == w - 1) {
    if (odd_row) {
      p[B] = X(r, w - 2), p[G] = X(r, w - 1), p[R] = X(r - 1, w - 1);
    } else {
      p[B] = X(r + 1, w - 2), p[G] = X(r, w - 2), p[R] = X(r, w - 1);
    }
  } else {  // first column
    if (odd_row) {
      p[B] = X(r, 0), p[G] = X(r, 1), p[R] = X(r + 1, 1);
    } else {
      p[B] = X(r + 1, 0), p[G] = X(r, 0), p[R] = X(r, 1);
    }
  }
}

}  // namespace

void Mode2GreenRow(const uint8_t* raw, Geometry g, int r, uint8_t* row,
                   uint8_t* green) {
  const int w = g.width, h = g.height;
  if (r == 0 || r == h - 1) {
    for (int c = 0; c < w; ++c) Mode2Border(raw, row, g, r, c);
    if (green != nullptr) CopyGreen(row, 0, w, green);
    return;
  }
  Mode2Border(raw, row, g, r, 0);
  Mode2Border(raw, row, g, r, w - 1);
  const uint8_t* xu = raw + static_cast<size_t>(r - 1) * w;
  const uint8_t* x0 = xu + w;
  const uint8_t* xd = x0 + w;
  const bool even = (r & 1) == 0;
  const int own = even ? R : B;
  // Green sites take their sample; red and blue sites their own colour
  // and a green along the smoother direction.
  const int start =
      HasAvx2() ? Mode2GreenRowVector(xu, x0, xd, row, w, even, green) : 1;
  // The vector form wrote whole pixels; the rest up to the last column
  // start from 0.
  if (w - 1 > start)
    std::memset(row + 3 * start, 0, static_cast<size_t>(w - 1 - start) * 3);
  for (int c = even ? start + 1 : start; c < w - 1; c += 2)
    row[3 * c + G] = x0[c];
  for (int c = even ? start : start + 1; c < w - 1; c += 2) {
    uint8_t* p = row + 3 * c;
    p[own] = x0[c];
    const int up = xu[c], down = xd[c], left = x0[c - 1], right = x0[c + 1];
    const int v = std::abs(up - down), hz = std::abs(left - right);
    const int along_column = (up + down) >> 1, along_row = (left + right) >> 1;
    const int both = (up + down + left + right) >> 2;
    p[G] = static_cast<uint8_t>(v < hz   ? along_column
                                : hz < v ? along_row
                                         : both);
  }
  if (green != nullptr) {
    CopyGreen(row, 0, 1, green);
    CopyGreen(row, start, w, green);
  }
}

void Mode2Green(const uint8_t* raw, uint8_t* out, Geometry g, int first,
                int last) {
  for (int r = first; r < last; ++r)
    Mode2GreenRow(raw, g, r, Pixel(out, g, r, 0));
}

namespace {

void Mode2RedBlueFrom(const uint8_t* raw, Geometry g, int r, uint8_t* out_row,
                      int start) {
  const int w = g.width;
  const auto [xu, x0, xd, row, gu, g0, gd] = RowsAround(raw, out_row, g, r);
  const bool even = (r & 1) == 0;
  // Green sites: both colours from their neighbours' colour differences.
  for (int c = even ? start + 1 : start; c < w - 1; c += 2) {
    uint8_t* p = row + 3 * c;
    const int x = x0[c];
    const int horizontal = ((x0[c - 1] + x0[c + 1]) >> 1) + x -
                           ((g0[3 * (c - 1)] + g0[3 * (c + 1)]) >> 1);
    const int vertical =
        ((xu[c] + xd[c]) >> 1) + x - ((gu[3 * c] + gd[3 * c]) >> 1);
    p[B] = Clamp(even ? vertical : horizontal);
    p[R] = Clamp(even ? horizontal : vertical);
  }
  // Red and blue sites: the other colour from the diagonal neighbours.
  const int other = even ? B : R;
  for (int c = even ? start : start + 1; c < w - 1; c += 2) {
    const int v = ((xu[c - 1] + xu[c + 1] + xd[c - 1] + xd[c + 1]) >> 2) +
                  g0[3 * c] -
                  ((gu[3 * (c - 1)] + gu[3 * (c + 1)] + gd[3 * (c - 1)] +
                    gd[3 * (c + 1)]) >>
                   2);
    row[3 * c + other] = Clamp(v);
  }
}

}  // namespace

void Mode2RedBlueRow(const uint8_t* raw, Geometry g, int r, uint8_t* out_row,
                     bool whole_pixels, const uint8_t* green) {
  const int w = g.width, h = g.height;
  if (r < 1 || r >= h - 1) return;
  const uint8_t* xu = raw + static_cast<size_t>(r - 1) * w;
  const int start =
      HasAvx2() && whole_pixels
          ? Mode2RedBlueRowVector(xu, xu + w, xu + 2 * static_cast<size_t>(w),
                                  out_row, static_cast<size_t>(w) * 3, w,
                                  (r & 1) == 0, green)
          : 1;
  Mode2RedBlueFrom(raw, g, r, out_row, start);
}

void RedBlueRowFrom(int mode, const uint8_t* raw, Geometry g, int r,
                    uint8_t* row, int from) {
  if (mode == 1) {
    if (r >= 2 && r < g.height - 2) Mode1RedBlueFrom(raw, g, r, row, from);
  } else if (r >= 1 && r < g.height - 1) {
    Mode2RedBlueFrom(raw, g, r, row, from);
  }
}

void Mode2RedBlue(const uint8_t* raw, uint8_t* out, Geometry g, int first,
                  int last) {
  // The vector form stores whole pixels, green included: only on rows
  // whose neighbours no other band reads or writes meanwhile.
  for (int r = first; r < last; ++r)
    Mode2RedBlueRow(raw, g, r, Pixel(out, g, r, 0), r > first && r < last - 1);
}

}  // namespace vk::isp
