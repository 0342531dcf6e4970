// The frame's pipeline in bands of rows that stay in cache: the raw frame
// is read once and the finished image written once, instead of a whole
// demosaiced image going out to memory and back.
#include <algorithm>

#include "sdk/core/isp.h"

namespace vk::isp {
namespace {

// Rows demosaiced at a time: with the two rows of green plane around them
// that modes 1 and 2 read, 18 rows of the widest image fit the second-level
// cache several times over.
constexpr int kChunkRows = 16;
constexpr size_t kRowBytes = static_cast<size_t>(kMaxWidth) * 3;

// A chunk's rows [first, last) demosaiced, row r at `at(r)`; modes 1 and 2
// also make the green planes of rows first - 1 and last within the frame,
// and keep the green alone of row r at `green_at(r)` for the second pass.
template <typename At, typename GreenAt>
void DemosaicChunk(const uint8_t* raw, Geometry g, int mode, int first,
                   int last, At at, GreenAt green_at, bool green_only = false) {
  if (mode != 1 && mode != 2) {
    for (int r = first; r < last; ++r) Demosaic0Row(raw, g, r, at(r));
    return;
  }
  // Modes 1 and 2: the green plane of the chunk and the rows either side,
  // then red and blue from it.
  const auto green = mode == 1 ? Mode1GreenRow : Mode2GreenRow;
  const auto red_blue = mode == 1 ? Mode1RedBlueRow : Mode2RedBlueRow;
  for (int r = std::max(first - 1, 0); r < std::min(last + 1, g.height); ++r)
    green(raw, g, r, at(r), green_at(r));
  if (green_only) return;
  for (int r = first; r < last; ++r)
    red_blue(raw, g, r, at(r), true, green_at(r));
}

// Adds the channels of `pixels` pixels from `p`.
void SumPixels(const uint8_t* p, int pixels, ChannelSums* sums) {
  uint64_t b = 0, gr = 0, r = 0;
  const int done = HasAvx2() ? SumPixelsVector(p, pixels, sums) : 0;
  p += 3 * static_cast<size_t>(done);
  for (int k = done; k < pixels; ++k, p += 3) {
    b += p[0];
    gr += p[1];
    r += p[2];
  }
  sums->blue += b;
  sums->green += gr;
  sums->red += r;
}

void SumWindowRow(const uint8_t* row, int r, const Window& w,
                  ChannelSums* sums) {
  if (r < w.top || r >= w.bottom || w.left >= w.right) return;
  SumPixels(row + 3 * static_cast<size_t>(w.left), w.right - w.left, sums);
}

// Mode 0 with the colour step's 16-bit form, row r finished into `dst`
// through `row` (3 x width bytes of scratch): interior columns in one vector
// pass, the ends demosaiced apart and sent through the stage.
void FusedRow(const FrameJob& job, int r, uint8_t* row, uint8_t* dst) {
  const Geometry g = job.g;
  const int w = g.width;
  uint8_t* target = job.mirror ? row : dst;
  int done = 1;
  if (r > 0 && r < g.height - 1) {
    const uint8_t* up = job.raw + static_cast<size_t>(r - 1) * w;
    done = Demosaic0ColorRowVector(up, up + w, up + 2 * static_cast<size_t>(w),
                                   *job.stage, target, w, (r & 1) == 0);
  }
  if (done == 1) {
    Demosaic0Row(job.raw, g, r, row);
    ApplyStage(*job.stage, row, target, w);
  } else {
    Demosaic0RowEnds(job.raw, g, r, done, row);
    ApplyStage(*job.stage, row, target, 1);
    ApplyStage(*job.stage, row + 3 * static_cast<size_t>(done),
               target + 3 * static_cast<size_t>(done), w - done);
  }
  if (job.mirror) MirrorCopy(row, dst, w);
}

// Modes 1 and 2 with the colour step's 16-bit form: row r, whose green
// pass is done (its pixels at `row`, its green alone at `green`), finished
// into `dst`, through `finished` (3 x width bytes) when mirrored; the
// interior in one vector pass, the rest by the plain red-and-blue pass and
// the stage. `row` keeps the green pass's pixels for its neighbours.
void RedBlueFinishedRow(const FrameJob& job, int r, uint8_t* row,
                        const uint8_t* green, uint8_t* finished, uint8_t* dst) {
  const Geometry g = job.g;
  const int w = g.width;
  const int first = job.mode == 1 ? 2 : 1;
  uint8_t* target = job.mirror ? finished : dst;
  int done = first;
  if (r >= first && r < g.height - first) {
    const uint8_t* xu = job.raw + static_cast<size_t>(r - 1) * w;
    done = RedBlueColorRowVector(job.mode, xu, xu + w,
                                 xu + 2 * static_cast<size_t>(w), green,
                                 *job.stage, target, w, (r & 1) == 0);
  }
  // The pass's plain form reads the green of neighbouring pixels, which
  // the vector pass left as they were.
  RedBlueRowFrom(job.mode, job.raw, g, r, row, done);
  const int ends = std::min(first, w);
  ApplyStage(*job.stage, row, target, ends);
  if (done < w) {
    ApplyStage(*job.stage, row + 3 * static_cast<size_t>(done),
               target + 3 * static_cast<size_t>(done), w - done);
  }
  if (job.mirror) MirrorCopy(finished, dst, w);
}

}  // namespace

void ProcessRows(const FrameJob& job, int first, int last, ChannelSums* sums) {
  const Geometry g = job.g;
  if (g.width <= 0 || g.width > kMaxWidth) return;
  alignas(64) uint8_t scratch[(kChunkRows + 2) * kRowBytes];
  alignas(64) uint8_t green[(kChunkRows + 2) * kMaxWidth];
  const size_t bytes = static_cast<size_t>(g.width) * 3;
  const bool narrow =
      job.stage->kind == PixelStage::Kind::kColor && job.stage->narrow;
  const bool red_blue = job.mode == 1 || job.mode == 2;
  const bool fused = narrow && !red_blue;
  const bool fused_red_blue = narrow && red_blue;
  alignas(64) uint8_t finished[kRowBytes];
  for (int a = first; a < last; a += kChunkRows) {
    const int b = std::min(a + kChunkRows, last);
    auto at = [&](int r) {
      return scratch + static_cast<size_t>(r - a + 1) * bytes;
    };
    auto green_at = [&](int r) {
      return green + static_cast<size_t>(r - a + 1) * g.width;
    };
    if (!fused) {
      DemosaicChunk(job.raw, g, job.mode, a, b, at, green_at, fused_red_blue);
    }
    for (int r = a; r < b; ++r) {
      const int j = job.reverse ? g.height - 1 - r : r;
      uint8_t* dst = job.out + static_cast<size_t>(j) * bytes;
      if (fused) {
        FusedRow(job, r, at(r), dst);
      } else if (fused_red_blue) {
        RedBlueFinishedRow(job, r, at(r), green_at(r), finished, dst);
      } else if (job.mirror) {
        ApplyStage(*job.stage, at(r), at(r), g.width);
        MirrorCopy(at(r), dst, g.width);
      } else {
        ApplyStage(*job.stage, at(r), dst, g.width);
      }
      SumWindowRow(dst, j, job.measured, sums);
    }
  }
}

void MeasureDemosaiced(const uint8_t* raw, Geometry g, int mode, Window window,
                       int first, int last, ChannelSums* sums) {
  if (g.width <= 0 || g.width > kMaxWidth) return;
  alignas(64) uint8_t scratch[(kChunkRows + 2) * kRowBytes];
  alignas(64) uint8_t green[(kChunkRows + 2) * kMaxWidth];
  const size_t bytes = static_cast<size_t>(g.width) * 3;
  first = std::max(first, window.top);
  last = std::min(last, window.bottom);
  for (int a = first; a < last; a += kChunkRows) {
    const int b = std::min(a + kChunkRows, last);
    auto at = [&](int r) {
      return scratch + static_cast<size_t>(r - a + 1) * bytes;
    };
    auto green_at = [&](int r) {
      return green + static_cast<size_t>(r - a + 1) * g.width;
    };
    DemosaicChunk(raw, g, mode, a, b, at, green_at);
    for (int r = a; r < b; ++r) SumWindowRow(at(r), r, window, sums);
  }
}

}  // namespace vk::isp
