#include "twain/camera/image_pipeline.h"

#include <algorithm>
#include <cstring>

#include "sdk/core/isp.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vk::twain {
namespace {

constexpr int kOffset = 8;
constexpr int kChunkRows = 16;
constexpr size_t kRowBytes = static_cast<size_t>(isp::kMaxWidth) * 3;

// The demosaiced rows of a chunk [first, last) and the row on either side
// within the frame, row r at `at(r)`.
template <typename At>
void DemosaicChunk(const uint8_t* raw, isp::Geometry g, int first, int last,
                   At at) {
  for (int r = std::max(first - 1, 0); r < std::min(last + 1, g.height); ++r)
    isp::Demosaic0Row(raw, g, r, at(r));
}

// Row r as the smoothing leaves it: the first and last rows as they are.
void SmoothedRow(isp::Geometry g, int r, const uint8_t* row, size_t stride,
                 uint8_t* out) {
  if (r == 0 || r == g.height - 1) {
    std::memcpy(out, row, static_cast<size_t>(g.width) * 3);
    return;
  }
  SmoothRow(row - stride, row, row + stride, out, g.width);
}

#if defined(__x86_64__)
__attribute__((target("avx2"), always_inline)) inline __m256i Load16(
    const uint8_t* p) {
  return _mm256_cvtepu8_epi16(
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// Sixteen bytes at a time in 16-bit lanes (at most 8 x 255).
__attribute__((target("avx2"))) size_t SmoothRowVector(
    const uint8_t* above, const uint8_t* centre, const uint8_t* below,
    uint8_t* out, size_t first, size_t end) {
  size_t x = first;
  for (; x + 16 <= end; x += 16) {
    const __m256i sum = _mm256_add_epi16(
        _mm256_add_epi16(
            _mm256_add_epi16(Load16(above + x), Load16(below + x)),
            _mm256_add_epi16(Load16(centre + x - 3), Load16(centre + x + 3))),
        _mm256_slli_epi16(Load16(centre + x), 2));
    const __m256i v = _mm256_srli_epi16(sum, 3);
    const __m256i bytes =
        _mm256_permute4x64_epi64(_mm256_packus_epi16(v, v), 0xD8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x),
                     _mm256_castsi256_si128(bytes));
  }
  return x;
}
#endif

size_t SmoothRowFast(const uint8_t* above, const uint8_t* centre,
                     const uint8_t* below, uint8_t* out, size_t first,
                     size_t end) {
#if defined(__x86_64__)
  if (isp::HasAvx2())
    return SmoothRowVector(above, centre, below, out, first, end);
#endif
  (void)above, (void)centre, (void)below, (void)out, (void)end;
  return first;
}

// The colour step and the tone table over part of a row; where AE measures,
// the colour step's values (before the tone table) are summed too.
template <bool kMeasure>
void ColorRow(const ColorTables& c, const uint8_t* tone, const uint8_t* src,
              uint8_t* dst, int pixels, uint64_t* sums) {
  const auto& t = c.t;
  uint64_t sb = 0, sg = 0, sr = 0;
  auto clamp = [](int64_t x) {
    return x >= (int64_t{1} << 28) ? 255
           : x < 0                 ? 0
                                   : static_cast<int>(x >> 20);
  };
  for (int k = 0; k < pixels; ++k, src += 3, dst += 3) {
    const int b = src[0], g = src[1], r = src[2];
    const int red = clamp(t[0][0][r] + t[0][1][g] + t[0][2][b]);
    const int green = clamp(t[1][0][r] + t[1][1][g] + t[1][2][b]);
    const int blue = clamp(t[2][0][r] + t[2][1][g] + t[2][2][b]);
    if (kMeasure) sb += blue, sg += green, sr += red;
    dst[0] = tone[blue];
    dst[1] = tone[green];
    dst[2] = tone[red];
  }
  if (kMeasure) sums[0] += sb, sums[1] += sg, sums[2] += sr;
}

template <bool kMeasure>
void MonochromeRow(const uint8_t* tone, const uint8_t* src, uint8_t* dst,
                   int pixels, uint64_t* sums) {
  uint64_t sum = 0;
  for (int k = 0; k < pixels; ++k, src += 3, dst += 3) {
    const int y = (11 * src[0] + 59 * src[1] + 30 * src[2]) / 100;
    if (kMeasure) sum += y;
    dst[0] = dst[1] = dst[2] = tone[y];
  }
  if (kMeasure) sums[0] += sum, sums[1] += sum, sums[2] += sum;
}

// Row r (demosaiced at `row`, rows around it at -/+ stride) finished into
// `out`, in the image's own orientation; the centre's sums when measured.
void FinishRow(const ImageJob& job, int r, const uint8_t* row, size_t stride,
               uint8_t* smoothed, uint8_t* out, uint64_t* centre) {
  const isp::Geometry g{job.width, job.height};
  const int w = job.width;
  const bool measured = centre && r >= job.height / 4 && r < 3 * job.height / 4;
  const uint8_t* src = row;
  if (!job.mono) {
    SmoothedRow(g, r, row, stride, smoothed);
    src = smoothed;
  }
  auto part = [&](int first, int last, uint64_t* sums) {
    const size_t at = 3 * static_cast<size_t>(first);
    if (job.mono) {
      sums ? MonochromeRow<true>(job.tone, src + at, out + at, last - first,
                                 sums)
           : MonochromeRow<false>(job.tone, src + at, out + at, last - first,
                                  nullptr);
    } else {
      sums ? ColorRow<true>(*job.color, job.tone, src + at, out + at,
                            last - first, sums)
           : ColorRow<false>(*job.color, job.tone, src + at, out + at,
                             last - first, nullptr);
    }
  };
  if (!measured) {
    part(0, w, nullptr);
    return;
  }
  // The centre's columns are measured, the pixels either side not.
  part(0, w / 4, nullptr);
  part(w / 4, 3 * w / 4, centre);
  part(3 * w / 4, w, nullptr);
}

}  // namespace

void SmoothRow(const uint8_t* above, const uint8_t* centre,
               const uint8_t* below, uint8_t* out, int width) {
  const size_t stride = static_cast<size_t>(width) * 3;
  if (stride < 6) {
    std::memcpy(out, centre, stride);
    return;
  }
  std::memcpy(out, centre, 3);
  std::memcpy(out + stride - 3, centre + stride - 3, 3);
  for (size_t x = SmoothRowFast(above, centre, below, out, 3, stride - 3);
       x < stride - 3; ++x)
    out[x] = static_cast<uint8_t>(
        (above[x] + below[x] + centre[x - 3] + centre[x + 3] + 4 * centre[x]) >>
        3);
}

void MakeColorTables(const ColorMatrix& m, const WhiteBalance& gains,
                     ColorTables* tables) {
  // A gain of 0 removes its channel (its matrix column is 0), so its clamp
  // is left open, as ApplyColorMatrix does.
  auto ceiling = [](uint8_t gain) { return gain ? 16320 / gain : 16320; };
  const int top[3] = {ceiling(gains.red), ceiling(gains.green),
                      ceiling(gains.blue)};
  for (int o = 0; o < 3; ++o)
    for (int i = 0; i < 3; ++i)
      for (int v = 0; v < 256; ++v)
        tables->t[o][i][v] = m.m[o][i] * std::clamp(v - kOffset, 0, top[i]);
}

void MakeImage(const ImageJob& job, uint64_t centre[3]) {
  const isp::Geometry g{job.width, job.height};
  if (g.width <= 0 || g.width > isp::kMaxWidth || g.height <= 0) return;
  if (centre) centre[0] = centre[1] = centre[2] = 0;
  alignas(64) uint8_t scratch[(kChunkRows + 2) * kRowBytes];
  alignas(64) uint8_t smoothed[kRowBytes];
  alignas(64) uint8_t finished[kRowBytes];
  const size_t stride = static_cast<size_t>(g.width) * 3;
  for (int a = 0; a < g.height; a += kChunkRows) {
    const int b = std::min(a + kChunkRows, g.height);
    auto at = [&](int r) {
      return scratch + static_cast<size_t>(r - a + 1) * stride;
    };
    DemosaicChunk(job.raw, g, a, b, at);
    for (int r = a; r < b; ++r) {
      const int j = job.vflip ? r : g.height - 1 - r;
      uint8_t* dst = job.image + static_cast<size_t>(j) * stride;
      if (job.hflip) {
        FinishRow(job, r, at(r), stride, smoothed, finished, centre);
        isp::MirrorCopy(finished, dst, g.width);
      } else {
        FinishRow(job, r, at(r), stride, smoothed, dst, centre);
      }
    }
  }
}

void SmoothedSums(const uint8_t* raw, int width, int height, uint64_t sums[3]) {
  const isp::Geometry g{width, height};
  sums[0] = sums[1] = sums[2] = 0;
  if (g.width <= 0 || g.width > isp::kMaxWidth || g.height <= 0) return;
  alignas(64) uint8_t scratch[(kChunkRows + 2) * kRowBytes];
  alignas(64) uint8_t smoothed[kRowBytes];
  const size_t stride = static_cast<size_t>(g.width) * 3;
  for (int a = 0; a < g.height; a += kChunkRows) {
    const int b = std::min(a + kChunkRows, g.height);
    auto at = [&](int r) {
      return scratch + static_cast<size_t>(r - a + 1) * stride;
    };
    DemosaicChunk(raw, g, a, b, at);
    for (int r = a; r < b; ++r) {
      SmoothedRow(g, r, at(r), stride, smoothed);
      for (size_t k = 0; k < stride; k += 3) {
        sums[0] += smoothed[k];
        sums[1] += smoothed[k + 1];
        sums[2] += smoothed[k + 2];
      }
    }
  }
}

}  // namespace vk::twain
