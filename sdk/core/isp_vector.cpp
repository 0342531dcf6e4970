// The vector forms of the hot stages, with AVX2, chosen at run time: mode 0
// demosaicing sixteen pixels at a time, and the colour step eight at a time.
// Each computes the same integers as its scalar form, so the same bytes.
#include "sdk/core/isp.h"

// 64-bit x86 only: 32-bit builds (for 32-bit TWAIN applications) keep the
// scalar forms.
#if defined(__x86_64__)
#include <immintrin.h>

#include <cstring>

namespace vk::isp {
namespace {

#define VK_AVX2 __attribute__((target("avx2"), always_inline)) inline

// min((v x gain) >> 6, 255); v x gain < 65536, so a 16-bit product will do.
VK_AVX2 __m256i Gained(__m128i bytes, __m256i gain) {
  const __m256i v = _mm256_cvtepu8_epi32(bytes);
  return _mm256_min_epi32(_mm256_srli_epi32(_mm256_mullo_epi16(v, gain), 6),
                          _mm256_set1_epi32(255));
}

// tone[clamp((m0 x r + m1 x g + m2 x b) >> 14, 0, 255)]
VK_AVX2 __m256i Output(const __m256i* row, __m256i r, __m256i g, __m256i b,
                       const int32_t* tone) {
  __m256i v = _mm256_add_epi32(
      _mm256_add_epi32(_mm256_mullo_epi32(row[0], r), _mm256_mullo_epi32(row[1], g)),
      _mm256_mullo_epi32(row[2], b));
  v = _mm256_min_epi32(_mm256_max_epi32(_mm256_srai_epi32(v, 14), _mm256_setzero_si256()),
                       _mm256_set1_epi32(255));
  return _mm256_i32gather_epi32(tone, v, 4);
}

VK_AVX2 __m256i Load32(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// min((v x gain) >> 6, 255) in 16-bit lanes: v x gain < 65536.
VK_AVX2 __m256i Gained16(__m256i v, __m256i gain) {
  return _mm256_min_epu16(_mm256_srli_epi16(_mm256_mullo_epi16(v, gain), 6),
                          _mm256_set1_epi16(255));
}

// Sixteen bytes widened to sixteen 16-bit lanes.
VK_AVX2 __m256i Load16(const uint8_t* p) {
  return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// Sixteen 16-bit lanes (each at most 255) narrowed to sixteen bytes.
VK_AVX2 __m128i Narrow(__m256i v) {
  return _mm256_castsi256_si128(_mm256_permute4x64_epi64(_mm256_packus_epi16(v, v), 0xD8));
}

// The shuffle that takes byte k of 48 interleaved bytes (pixel k / 3,
// channel k % 3) from `channel`'s vector, for output block `block`.
constexpr uint8_t kNone = 0x80;
struct InterleaveMasks {
  alignas(16) uint8_t m[3][3][16];  // [block][channel][byte]
};
constexpr InterleaveMasks MakeInterleaveMasks() {
  InterleaveMasks masks{};
  for (int block = 0; block < 3; ++block)
    for (int channel = 0; channel < 3; ++channel)
      for (int k = 0; k < 16; ++k) {
        const int byte = 16 * block + k;
        masks.m[block][channel][k] =
            byte % 3 == channel ? static_cast<uint8_t>(byte / 3) : kNone;
      }
  return masks;
}
constexpr InterleaveMasks kInterleave = MakeInterleaveMasks();

// Sixteen pixels' blue, green and red bytes stored as 48 interleaved bytes.
VK_AVX2 void StoreInterleaved(__m128i b, __m128i g, __m128i r, uint8_t* out) {
#pragma GCC unroll 3
  for (int block = 0; block < 3; ++block) {
    const auto* masks = reinterpret_cast<const __m128i*>(kInterleave.m[block]);
    const __m128i bytes = _mm_or_si128(
        _mm_or_si128(_mm_shuffle_epi8(b, _mm_load_si128(masks)),
                     _mm_shuffle_epi8(g, _mm_load_si128(masks + 1))),
        _mm_shuffle_epi8(r, _mm_load_si128(masks + 2)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * block), bytes);
  }
}

// The shuffles that take channel `channel` of sixteen interleaved pixels
// from the three 16-byte blocks of their 48 bytes.
struct DeinterleaveMasks {
  alignas(16) uint8_t m[3][3][16];  // [channel][block][pixel]
};
constexpr DeinterleaveMasks MakeDeinterleaveMasks() {
  DeinterleaveMasks masks{};
  for (int channel = 0; channel < 3; ++channel)
    for (int block = 0; block < 3; ++block)
      for (int i = 0; i < 16; ++i) {
        const int byte = 3 * i + channel;
        masks.m[channel][block][i] = byte / 16 == block ? static_cast<uint8_t>(byte % 16) : kNone;
      }
  return masks;
}
constexpr DeinterleaveMasks kDeinterleave = MakeDeinterleaveMasks();

// Channel `channel` of the sixteen pixels at `p`, widened to 16-bit lanes.
VK_AVX2 __m256i Channel(const uint8_t* p, int channel) {
  __m128i bytes = _mm_setzero_si128();
#pragma GCC unroll 3
  for (int block = 0; block < 3; ++block) {
    const __m128i data = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * block));
    const __m128i mask =
        _mm_load_si128(reinterpret_cast<const __m128i*>(kDeinterleave.m[channel][block]));
    bytes = _mm_or_si128(bytes, _mm_shuffle_epi8(data, mask));
  }
  return _mm256_cvtepu8_epi16(bytes);
}

// a < b ? if_less : b < a ? if_more : if_equal, lane by lane.
VK_AVX2 __m256i Choose(__m256i a, __m256i b, __m256i if_less, __m256i if_more,
                       __m256i if_equal) {
  const __m256i more = _mm256_blendv_epi8(if_equal, if_more, _mm256_cmpgt_epi16(a, b));
  return _mm256_blendv_epi8(more, if_less, _mm256_cmpgt_epi16(b, a));
}

// What the red-and-blue passes read around sixteen pixels at column c: the
// green plane of the row and the rows above and below at c - 1, c, c + 1,
// the row's own blue and red, and the raw rows at c - 1, c, c + 1.
struct Around {
  __m256i g, gl, gr, gu, gul, gur, gd, gdl, gdr;
  __m256i old_b, old_r;
  __m256i x, xl, xr, xu, xul, xur, xd, xdl, xdr;
};

VK_AVX2 Around LoadAround(const uint8_t* xu, const uint8_t* x0, const uint8_t* xd,
                          const uint8_t* row, size_t stride, int c) {
  constexpr int kB = 0, kG = 1, kR = 2;
  const uint8_t* p = row + 3 * c;
  const uint8_t* up = p - stride;
  const uint8_t* down = p + stride;
  return {Channel(p, kG),         Channel(p - 3, kG),     Channel(p + 3, kG),
          Channel(up, kG),        Channel(up - 3, kG),    Channel(up + 3, kG),
          Channel(down, kG),      Channel(down - 3, kG),  Channel(down + 3, kG),
          Channel(p, kB),         Channel(p, kR),
          Load16(x0 + c),         Load16(x0 + c - 1),     Load16(x0 + c + 1),
          Load16(xu + c),         Load16(xu + c - 1),     Load16(xu + c + 1),
          Load16(xd + c),         Load16(xd + c - 1),     Load16(xd + c + 1)};
}

// The same from rows of green alone, `w` bytes apart. The sites' own
// colours, which the green pass copied from the raw row, are the raw
// samples themselves.
VK_AVX2 Around LoadAroundGreen(const uint8_t* xu, const uint8_t* x0,
                               const uint8_t* xd, const uint8_t* green, int w,
                               int c) {
  const uint8_t* p = green + c;
  const uint8_t* up = p - w;
  const uint8_t* down = p + w;
  const __m256i x = Load16(x0 + c);
  return {Load16(p),
          Load16(p - 1),
          Load16(p + 1),
          Load16(up),
          Load16(up - 1),
          Load16(up + 1),
          Load16(down),
          Load16(down - 1),
          Load16(down + 1),
          x,
          x,
          x,
          Load16(x0 + c - 1),
          Load16(x0 + c + 1),
          Load16(xu + c),
          Load16(xu + c - 1),
          Load16(xu + c + 1),
          Load16(xd + c),
          Load16(xd + c - 1),
          Load16(xd + c + 1)};
}

// Sixteen lanes of alternating sites: `at_green` on the green sites (the
// even lanes when `green_on_even_lanes`, else the odd ones), `at_other` on
// the red or blue sites between them.
VK_AVX2 __m256i Sites(bool green_on_even_lanes, __m256i at_green, __m256i at_other) {
  constexpr int kOddLanes = 0xAA;
  return green_on_even_lanes ? _mm256_blend_epi16(at_green, at_other, kOddLanes)
                             : _mm256_blend_epi16(at_other, at_green, kOddLanes);
}

// A green pass's sixteen pixels: green sites keep their sample as green; red
// or blue sites their sample as their own colour (red on even rows, blue on
// odd ones) and `estimate` as green; every other channel 0.
VK_AVX2 void StoreGreenPass(__m256i x, __m256i estimate,
                            bool green_on_even_lanes, bool even_row,
                            uint8_t* out, uint8_t* green) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i own = Sites(green_on_even_lanes, zero, x);
  const __m128i g = Narrow(Sites(green_on_even_lanes, x, estimate));
  StoreInterleaved(Narrow(even_row ? zero : own), g,
                   Narrow(even_row ? own : zero), out);
  if (green != nullptr) _mm_storeu_si128(reinterpret_cast<__m128i*>(green), g);
}

// A red-and-blue pass's sixteen pixels: green sites take `vertical` and
// `horizontal` (blue and red on even rows, red and blue on odd ones); red
// sites of even rows take `diagonal` as blue, blue sites of odd rows take it
// as red; green and the sites' own colours stay.
// Sixteen pixels as blue, green and red in 16-bit lanes.
struct Pixels16 {
  __m256i b, g, r;
};

VK_AVX2 __m256i Clamp255(__m256i v) {
  return _mm256_min_epi16(_mm256_max_epi16(v, _mm256_setzero_si256()),
                          _mm256_set1_epi16(255));
}

VK_AVX2 Pixels16 RedBluePass(const Around& n, __m256i horizontal,
                             __m256i vertical, __m256i diagonal,
                             bool green_on_even_lanes, bool even_row) {
  const __m256i b = Sites(green_on_even_lanes, even_row ? vertical : horizontal,
                          even_row ? diagonal : n.old_b);
  const __m256i r = Sites(green_on_even_lanes, even_row ? horizontal : vertical,
                          even_row ? n.old_r : diagonal);
  return {Clamp255(b), n.g, Clamp255(r)};
}

}  // namespace

bool HasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

namespace {

// Mode 0's sixteen pixels at column c (odd) as blue, green and red in
// 16-bit lanes, lane i column c + i: on even rows the even lanes are
// red sites and the odd lanes green; on odd rows the even lanes are green
// sites and the odd lanes blue. Every candidate is computed for every lane
// and the site's own is blended in.
VK_AVX2 Pixels16 Bilinear16(const uint8_t* up, const uint8_t* x,
                            const uint8_t* down, int c, bool even) {
  constexpr int kOddLanes = 0xAA;
  const __m256i xc = Load16(x + c), xl = Load16(x + c - 1),
                xr = Load16(x + c + 1);
  const __m256i uc = Load16(up + c), ul = Load16(up + c - 1),
                ur = Load16(up + c + 1);
  const __m256i dc = Load16(down + c), dl = Load16(down + c - 1),
                dr = Load16(down + c + 1);
  const __m256i green_here = _mm256_srli_epi16(_mm256_add_epi16(xc, ur), 1);
  const __m256i along_row = _mm256_srli_epi16(_mm256_add_epi16(xl, xr), 1);
  const __m256i along_column = _mm256_srli_epi16(_mm256_add_epi16(uc, dc), 1);
  const __m256i diagonal = _mm256_srli_epi16(
      _mm256_add_epi16(_mm256_add_epi16(ul, ur), _mm256_add_epi16(dl, dr)), 2);
  const __m256i cross = _mm256_srli_epi16(
      _mm256_add_epi16(_mm256_add_epi16(uc, dc), _mm256_add_epi16(xl, xr)), 2);
  __m256i b, g, r;
  if (even) {
    b = _mm256_blend_epi16(diagonal, along_column, kOddLanes);
    g = _mm256_blend_epi16(cross, green_here, kOddLanes);
    r = _mm256_blend_epi16(xc, along_row, kOddLanes);
  } else {
    b = _mm256_blend_epi16(along_row, xc, kOddLanes);
    g = _mm256_blend_epi16(green_here, cross, kOddLanes);
    r = _mm256_blend_epi16(along_column, diagonal, kOddLanes);
  }
  return {b, g, r};
}

// Mode 0's 32 pixels at column c (odd) as two blocks of sixteen in 16-bit
// lanes, widened from whole 32-byte loads: the first block holds columns
// c .. c + 7 and c + 16 .. c + 23, the second c + 8 .. c + 15 and c + 24 ..
// c + 31, so lane i is still a site of column parity i, and packing the
// two to bytes puts the columns back in order.
struct Pixels32 {
  Pixels16 first, second;
};

VK_AVX2 Pixels32 Bilinear32(const uint8_t* up, const uint8_t* x,
                            const uint8_t* down, int c, bool even) {
  constexpr int kOddLanes = 0xAA;
  const __m256i zero = _mm256_setzero_si256();
  const __m256i bytes[9] = {
      Load32(x + c),    Load32(x + c - 1),    Load32(x + c + 1),
      Load32(up + c),   Load32(up + c - 1),   Load32(up + c + 1),
      Load32(down + c), Load32(down + c - 1), Load32(down + c + 1)};
  Pixels16 out[2];
#pragma GCC unroll 2
  for (int half = 0; half < 2; ++half) {
    __m256i v[9];
#pragma GCC unroll 9
    for (int k = 0; k < 9; ++k)
      v[k] = half == 0 ? _mm256_unpacklo_epi8(bytes[k], zero)
                       : _mm256_unpackhi_epi8(bytes[k], zero);
    const __m256i xc = v[0], xl = v[1], xr = v[2], uc = v[3], ul = v[4],
                  ur = v[5];
    const __m256i dc = v[6], dl = v[7], dr = v[8];
    const __m256i green_here = _mm256_srli_epi16(_mm256_add_epi16(xc, ur), 1);
    const __m256i along_row = _mm256_srli_epi16(_mm256_add_epi16(xl, xr), 1);
    const __m256i along_column = _mm256_srli_epi16(_mm256_add_epi16(uc, dc), 1);
    const __m256i diagonal = _mm256_srli_epi16(
        _mm256_add_epi16(_mm256_add_epi16(ul, ur), _mm256_add_epi16(dl, dr)), 2);
    const __m256i cross = _mm256_srli_epi16(
        _mm256_add_epi16(_mm256_add_epi16(uc, dc), _mm256_add_epi16(xl, xr)),
        2);
    if (even) {
      out[half] = {_mm256_blend_epi16(diagonal, along_column, kOddLanes),
                   _mm256_blend_epi16(cross, green_here, kOddLanes),
                   _mm256_blend_epi16(xc, along_row, kOddLanes)};
    } else {
      out[half] = {_mm256_blend_epi16(along_row, xc, kOddLanes),
                   _mm256_blend_epi16(green_here, cross, kOddLanes),
                   _mm256_blend_epi16(along_column, diagonal, kOddLanes)};
    }
  }
  return {out[0], out[1]};
}

}  // namespace

__attribute__((target("avx2"))) int Demosaic0RowVector(const uint8_t* up,
                                                       const uint8_t* x,
                                                       const uint8_t* down,
                                                       uint8_t* out, int w,
                                                       bool even) {
  int c = 1;
  for (; c + 16 < w; c += 16) {
    const Pixels16 p = Bilinear16(up, x, down, c, even);
    StoreInterleaved(Narrow(p.b), Narrow(p.g), Narrow(p.r), out + 3 * c);
  }
  return c;
}

// Mode 1's green pass from column 2 in blocks of sixteen: lane i is column
// c + i, c even, so on even rows the even lanes are green sites and the odd
// lanes red; on odd rows the even lanes are blue sites and the odd lanes
// green. The other channels stay 0.
namespace {

template <bool kEven>
VK_AVX2 int Mode1Green(const uint8_t* x2u, const uint8_t* x1u,
                       const uint8_t* x0, const uint8_t* x1d,
                       const uint8_t* x2d, uint8_t* row, int w,
                       uint8_t* green) {
  const bool even = kEven;
  int c = 2;
  for (; c + 18 <= w; c += 16) {
    const __m256i x = Load16(x0 + c), xl = Load16(x0 + c - 1), xr = Load16(x0 + c + 1);
    const __m256i xll = Load16(x0 + c - 2), xrr = Load16(x0 + c + 2);
    const __m256i u1 = Load16(x1u + c), d1 = Load16(x1d + c);
    const __m256i u2 = Load16(x2u + c), d2 = Load16(x2d + c);
    const __m256i twice = _mm256_add_epi16(x, x);
    const __m256i hg = _mm256_sub_epi16(_mm256_sub_epi16(twice, xll), xrr);
    const __m256i vg = _mm256_sub_epi16(_mm256_sub_epi16(twice, u2), d2);
    const __m256i dh = _mm256_add_epi16(_mm256_abs_epi16(hg), _mm256_abs_epi16(_mm256_sub_epi16(xl, xr)));
    const __m256i dv = _mm256_add_epi16(_mm256_abs_epi16(vg), _mm256_abs_epi16(_mm256_sub_epi16(u1, d1)));
    const __m256i along_row =
        _mm256_add_epi16(_mm256_srai_epi16(_mm256_add_epi16(xl, xr), 1), _mm256_srai_epi16(hg, 2));
    const __m256i along_column =
        _mm256_add_epi16(_mm256_srai_epi16(_mm256_add_epi16(u1, d1), 1), _mm256_srai_epi16(vg, 2));
    const __m256i both = _mm256_add_epi16(
        _mm256_srai_epi16(_mm256_sub_epi16(_mm256_add_epi16(twice, twice),
                                           _mm256_add_epi16(_mm256_add_epi16(u2, d2),
                                                            _mm256_add_epi16(xll, xrr))),
                          3),
        _mm256_srai_epi16(_mm256_add_epi16(_mm256_add_epi16(u1, d1), _mm256_add_epi16(xl, xr)), 2));
    StoreGreenPass(x, Choose(dh, dv, along_row, along_column, both), even, even,
                   row + 3 * c, green == nullptr ? nullptr : green + c);
  }
  return c;
}

}  // namespace

__attribute__((target("avx2"))) int Mode1GreenRowVector(
    const uint8_t* x2u, const uint8_t* x1u, const uint8_t* x0,
    const uint8_t* x1d, const uint8_t* x2d, uint8_t* row, int w, bool even,
    uint8_t* green) {
  return even ? Mode1Green<true>(x2u, x1u, x0, x1d, x2d, row, w, green)
              : Mode1Green<false>(x2u, x1u, x0, x1d, x2d, row, w, green);
}

// Mode 1's red and blue pass from column 2 in blocks of sixteen, over the
// output row (whose green plane and own colours the green pass wrote) and
// the green planes of the rows above and below. Green sites take both from
// their pairs of neighbours; red and blue sites the missing one by the
// diagonal rule.
namespace {

template <bool kGreenRows, bool kEven>
VK_AVX2 Pixels16 Mode1Block(const uint8_t* xu, const uint8_t* x0,
                            const uint8_t* xd, const uint8_t* row,
                            size_t stride, int w, const uint8_t* green, int c) {
  const bool even = kEven;
  {
    const Around n = kGreenRows ? LoadAroundGreen(xu, x0, xd, green, w, c)
                                : LoadAround(xu, x0, xd, row, stride, c);
    const __m256i gc = n.g, gl = n.gl, gr = n.gr, gu = n.gu, gul = n.gul, gur = n.gur;
    const __m256i gd = n.gd, gdl = n.gdl, gdr = n.gdr;
    const __m256i xl = n.xl, xr = n.xr, xuc = n.xu, xul = n.xul, xur = n.xur;
    const __m256i xdc = n.xd, xdl = n.xdl, xdr = n.xdr;
    const __m256i twice = _mm256_add_epi16(gc, gc);
    // Green sites.
    const __m256i horizontal = _mm256_add_epi16(
        _mm256_srai_epi16(_mm256_sub_epi16(_mm256_sub_epi16(twice, gl), gr), 2),
        _mm256_srai_epi16(_mm256_add_epi16(xl, xr), 1));
    const __m256i vertical = _mm256_add_epi16(
        _mm256_srai_epi16(_mm256_sub_epi16(_mm256_sub_epi16(twice, gu), gd), 2),
        _mm256_srai_epi16(_mm256_add_epi16(xuc, xdc), 1));
    // Red and blue sites: north-east with south-west, north-west with south-east.
    const __m256i e1 = _mm256_sub_epi16(_mm256_sub_epi16(twice, gur), gdl);
    const __m256i e2 = _mm256_sub_epi16(_mm256_sub_epi16(twice, gul), gdr);
    const __m256i d1 = _mm256_add_epi16(_mm256_abs_epi16(e1), _mm256_abs_epi16(_mm256_sub_epi16(xur, xdl)));
    const __m256i d2 = _mm256_add_epi16(_mm256_abs_epi16(e2), _mm256_abs_epi16(_mm256_sub_epi16(xul, xdr)));
    const __m256i first =
        _mm256_add_epi16(_mm256_srai_epi16(e1, 1), _mm256_srai_epi16(_mm256_add_epi16(xur, xdl), 1));
    const __m256i second =
        _mm256_add_epi16(_mm256_srai_epi16(e2, 1), _mm256_srai_epi16(_mm256_add_epi16(xul, xdr), 1));
    const __m256i both = _mm256_add_epi16(
        _mm256_srai_epi16(_mm256_add_epi16(e1, e2), 2),
        _mm256_srai_epi16(_mm256_add_epi16(_mm256_add_epi16(xur, xdl), _mm256_add_epi16(xul, xdr)), 2));
    return RedBluePass(n, horizontal, vertical,
                       Choose(d1, d2, first, second, both), even, even);
  }
}

}  // namespace

// Mode 2's green pass from column 1 in blocks of sixteen: lane i is column
// c + i, c odd, so on even rows the even lanes are red sites and the odd
// lanes green; on odd rows the even lanes are green and the odd lanes blue.
namespace {

template <bool kEven>
VK_AVX2 int Mode2Green(const uint8_t* xu, const uint8_t* x0, const uint8_t* xd,
                       uint8_t* row, int w, uint8_t* green) {
  const bool even = kEven;
  int c = 1;
  for (; c + 17 <= w; c += 16) {
    const __m256i x = Load16(x0 + c), left = Load16(x0 + c - 1), right = Load16(x0 + c + 1);
    const __m256i up = Load16(xu + c), down = Load16(xd + c);
    const __m256i vertical = _mm256_abs_epi16(_mm256_sub_epi16(up, down));
    const __m256i horizontal = _mm256_abs_epi16(_mm256_sub_epi16(left, right));
    const __m256i column = _mm256_add_epi16(up, down), across = _mm256_add_epi16(left, right);
    const __m256i estimate = Choose(vertical, horizontal, _mm256_srli_epi16(column, 1),
                                    _mm256_srli_epi16(across, 1),
                                    _mm256_srli_epi16(_mm256_add_epi16(column, across), 2));
    StoreGreenPass(x, estimate, !even, even, row + 3 * c,
                   green == nullptr ? nullptr : green + c);
  }
  return c;
}

}  // namespace

__attribute__((target("avx2"))) int Mode2GreenRowVector(
    const uint8_t* xu, const uint8_t* x0, const uint8_t* xd, uint8_t* row,
    int w, bool even, uint8_t* green) {
  return even ? Mode2Green<true>(xu, x0, xd, row, w, green)
              : Mode2Green<false>(xu, x0, xd, row, w, green);
}

// Mode 2's red and blue pass from column 1 in blocks of sixteen: green sites
// take both colours from their neighbours' colour differences, red and blue
// sites the other colour from the diagonal neighbours.
namespace {

template <bool kGreenRows, bool kEven>
VK_AVX2 Pixels16 Mode2Block(const uint8_t* xu, const uint8_t* x0,
                            const uint8_t* xd, const uint8_t* row,
                            size_t stride, int w, const uint8_t* green, int c) {
  const bool even = kEven;
  {
    const Around n = kGreenRows ? LoadAroundGreen(xu, x0, xd, green, w, c)
                                : LoadAround(xu, x0, xd, row, stride, c);
    const __m256i gc = n.g, gl = n.gl, gr = n.gr, gu = n.gu, gul = n.gul, gur = n.gur;
    const __m256i gd = n.gd, gdl = n.gdl, gdr = n.gdr;
    const __m256i x = n.x, xl = n.xl, xr = n.xr, xuc = n.xu, xul = n.xul, xur = n.xur;
    const __m256i xdc = n.xd, xdl = n.xdl, xdr = n.xdr;
    const __m256i horizontal = _mm256_sub_epi16(
        _mm256_add_epi16(_mm256_srli_epi16(_mm256_add_epi16(xl, xr), 1), x),
        _mm256_srli_epi16(_mm256_add_epi16(gl, gr), 1));
    const __m256i vertical = _mm256_sub_epi16(
        _mm256_add_epi16(_mm256_srli_epi16(_mm256_add_epi16(xuc, xdc), 1), x),
        _mm256_srli_epi16(_mm256_add_epi16(gu, gd), 1));
    const __m256i diagonal = _mm256_sub_epi16(
        _mm256_add_epi16(
            _mm256_srli_epi16(_mm256_add_epi16(_mm256_add_epi16(xul, xur), _mm256_add_epi16(xdl, xdr)), 2),
            gc),
        _mm256_srli_epi16(_mm256_add_epi16(_mm256_add_epi16(gul, gur), _mm256_add_epi16(gdl, gdr)), 2));
    return RedBluePass(n, horizontal, vertical, diagonal, !even, even);
  }
}

// The red and blue pass of mode 1 (from column 2) or mode 2 (from column
// 1), in blocks of sixteen.
template <int kMode, bool kGreenRows, bool kEven>
VK_AVX2 int RedBlueRow(const uint8_t* xu, const uint8_t* x0, const uint8_t* xd,
                       uint8_t* row, size_t stride, int w,
                       const uint8_t* green) {
  constexpr int kFirst = kMode == 1 ? 2 : 1;
  int c = kFirst;
  for (; c + 16 + kFirst <= w; c += 16) {
    Pixels16 p;
    if constexpr (kMode == 1) {
      p = Mode1Block<kGreenRows, kEven>(xu, x0, xd, row, stride, w, green, c);
    } else {
      p = Mode2Block<kGreenRows, kEven>(xu, x0, xd, row, stride, w, green, c);
    }
    StoreInterleaved(Narrow(p.b), Narrow(p.g), Narrow(p.r), row + 3 * c);
  }
  return c;
}

template <int kMode>
VK_AVX2 int RedBlueRowFor(const uint8_t* xu, const uint8_t* x0,
                          const uint8_t* xd, uint8_t* row, size_t stride,
                          int w, bool even, const uint8_t* green) {
  if (green != nullptr) {
    return even ? RedBlueRow<kMode, true, true>(xu, x0, xd, row, stride, w,
                                                green)
                : RedBlueRow<kMode, true, false>(xu, x0, xd, row, stride, w,
                                                 green);
  }
  return even ? RedBlueRow<kMode, false, true>(xu, x0, xd, row, stride, w,
                                               green)
              : RedBlueRow<kMode, false, false>(xu, x0, xd, row, stride, w,
                                                green);
}

}  // namespace

__attribute__((target("avx2"))) int Mode1RedBlueRowVector(
    const uint8_t* xu, const uint8_t* x0, const uint8_t* xd, uint8_t* row,
    size_t stride, int w, bool even, const uint8_t* green) {
  return RedBlueRowFor<1>(xu, x0, xd, row, stride, w, even, green);
}

__attribute__((target("avx2"))) int Mode2RedBlueRowVector(
    const uint8_t* xu, const uint8_t* x0, const uint8_t* xd, uint8_t* row,
    size_t stride, int w, bool even, const uint8_t* green) {
  return RedBlueRowFor<2>(xu, x0, xd, row, stride, w, even, green);
}

namespace {

// The 48 bytes of sixteen pixels' blue, green and red, in each 128-bit half
// of three vectors: `block` k holds bytes 16k .. 16k + 15 of the first
// sixteen pixels in its low half and of the next sixteen in its high half.
constexpr int kGroupBytes = 48;

VK_AVX2 __m256i Halves(const uint8_t* low, const uint8_t* high) {
  return _mm256_inserti128_si256(
      _mm256_castsi128_si256(
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(low))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(high)), 1);
}

// The interleaving shuffles twice over, for both halves of a vector.
struct WideMasks {
  alignas(32) uint8_t m[3][3][32];
};
constexpr WideMasks Widen(const uint8_t (&in)[3][3][16]) {
  WideMasks out{};
  for (int a = 0; a < 3; ++a)
    for (int b = 0; b < 3; ++b)
      for (int k = 0; k < 32; ++k) out.m[a][b][k] = in[a][b][k % 16];
  return out;
}
constexpr WideMasks kWideInterleave = Widen(kInterleave.m);
constexpr WideMasks kWideDeinterleave = Widen(kDeinterleave.m);

// The 16-bit form's factors, in vectors for a row.
struct NarrowFactors {
  __m256i gain_red, gain_green, gain_blue;
  __m256i red_green[3], blue[3];
  __m256i red_green_low[3], blue_low[3];
  __m128i shift, split_shift;
  bool split;
};

VK_AVX2 NarrowFactors MakeNarrowFactors(const PixelStage& s) {
  NarrowFactors f;
  f.gain_red = _mm256_set1_epi16(static_cast<int16_t>(s.gain[0]));
  f.gain_green = _mm256_set1_epi16(static_cast<int16_t>(s.gain[1]));
  f.gain_blue = _mm256_set1_epi16(static_cast<int16_t>(s.gain[2]));
  f.shift = _mm_cvtsi32_si128(s.narrow_shift);
  f.split_shift = _mm_cvtsi32_si128(s.narrow_split);
  f.split = s.narrow_split > 0;
#pragma GCC unroll 3
  for (int o = 0; o < 3; ++o) {
    f.red_green[o] = _mm256_set1_epi32(static_cast<int>(s.narrow_red_green[o]));
    f.blue[o] = _mm256_set1_epi32(static_cast<int>(s.narrow_blue[o]));
    f.red_green_low[o] =
        _mm256_set1_epi32(static_cast<int>(s.narrow_red_green_low[o]));
    f.blue_low[o] = _mm256_set1_epi32(static_cast<int>(s.narrow_blue_low[o]));
  }
  return f;
}

// Output o's shifted sum for the pixels of red-and-green pairs and blues in
// 32-bit lanes.
VK_AVX2 __m256i NarrowSum(__m256i pairs, __m256i blues, int o,
                          const NarrowFactors& f) {
  __m256i v = _mm256_add_epi32(_mm256_madd_epi16(pairs, f.red_green[o]),
                               _mm256_madd_epi16(blues, f.blue[o]));
  if (f.split) {
    v = _mm256_add_epi32(
        _mm256_sll_epi32(v, f.split_shift),
        _mm256_add_epi32(_mm256_madd_epi16(pairs, f.red_green_low[o]),
                         _mm256_madd_epi16(blues, f.blue_low[o])));
  }
  return _mm256_sra_epi32(v, f.shift);
}

// One output channel of the 16-bit form for 32 pixels: red-and-green pairs
// and blues in 32-bit lanes, pixels 0-3, 4-7, 8-11, 12-15 of each half in
// vectors 0 .. 3; the bytes come back in pixel order, clamped to 0 .. 255.
VK_AVX2 __m256i NarrowOutput(const __m256i* pairs, const __m256i* blues, int o,
                             const NarrowFactors& f) {
  __m256i v[4];
#pragma GCC unroll 16
  for (int k = 0; k < 4; ++k) v[k] = NarrowSum(pairs[k], blues[k], o, f);
  // Saturating to 16 bits, then to 0 .. 255, is the clamp to 0 .. 255.
  return _mm256_packus_epi16(_mm256_packs_epi32(v[0], v[1]),
                             _mm256_packs_epi32(v[2], v[3]));
}

// tone[i] for the 32 bytes i of each of three vectors, in place, from the
// stage's telescoped steps: step k of a half is taken where the index lies
// below that half's 16(k + 1), so the steps' XOR leaves the entry itself.
// Each step's table is loaded once for the three.
VK_AVX2 void Tone3(__m256i* v, const uint8_t (*steps)[32]) {
  const __m256i flip = _mm256_set1_epi8(static_cast<char>(0x80));
  // The halves' steps go to apart sums: two shorter chains of dependence.
  __m256i index[3], high[3], upper[3];
#pragma GCC unroll 3
  for (int c = 0; c < 3; ++c) {
    index[c] = v[c];
    high[c] = _mm256_xor_si256(v[c], flip);
    v[c] = upper[c] = _mm256_setzero_si256();
  }
#pragma GCC unroll 8
  for (int k = 0; k < 8; ++k) {
    // Bit 7 stays clear, and the low four bits as they are, only below 16(k +
    // 1).
    const __m256i below =
        _mm256_set1_epi8(static_cast<char>(0x80 - 16 * (k + 1)));
    const __m256i low_step = Load32(steps[k]), high_step = Load32(steps[8 + k]);
#pragma GCC unroll 3
    for (int c = 0; c < 3; ++c) {
      v[c] = _mm256_xor_si256(
          v[c],
          _mm256_shuffle_epi8(low_step, _mm256_adds_epu8(index[c], below)));
      upper[c] = _mm256_xor_si256(
          upper[c],
          _mm256_shuffle_epi8(high_step, _mm256_adds_epu8(high[c], below)));
    }
  }
#pragma GCC unroll 3
  for (int c = 0; c < 3; ++c) v[c] = _mm256_xor_si256(v[c], upper[c]);
}

// The 16-bit form over whole groups of 32 pixels; returns the pixels done.
__attribute__((target("avx2"))) size_t ColorRowNarrow(const PixelStage& s,
                                                      const uint8_t* src,
                                                      uint8_t* dst,
                                                      size_t pixels) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i gain_red_green =
      _mm256_set1_epi32(static_cast<int>(s.gain[0] | s.gain[1] << 16));
  const __m256i gain_blue = _mm256_set1_epi16(static_cast<int16_t>(s.gain[2]));
  const NarrowFactors f = MakeNarrowFactors(s);
  size_t k = 0;
  for (; k + 32 <= pixels; k += 32) {
    const uint8_t* p = src + 3 * k;
    __m256i in[3];
#pragma GCC unroll 16
    for (int block = 0; block < 3; ++block)
      in[block] = Halves(p + 16 * block, p + kGroupBytes + 16 * block);
    __m256i
        channel[3];  // blue, green, red bytes, pixels in order within each half
#pragma GCC unroll 16
    for (int c = 0; c < 3; ++c)
      channel[c] = _mm256_or_si256(
          _mm256_or_si256(
              _mm256_shuffle_epi8(in[0], Load32(kWideDeinterleave.m[c][0])),
              _mm256_shuffle_epi8(in[1], Load32(kWideDeinterleave.m[c][1]))),
          _mm256_shuffle_epi8(in[2], Load32(kWideDeinterleave.m[c][2])));
    // Red and green side by side, then each widened to 16 bits: the pairs
    // of a 32-bit lane.
    const __m256i low = _mm256_unpacklo_epi8(channel[2], channel[1]);
    const __m256i high = _mm256_unpackhi_epi8(channel[2], channel[1]);
    const __m256i pairs[4] = {
        Gained16(_mm256_unpacklo_epi8(low, zero), gain_red_green),
        Gained16(_mm256_unpackhi_epi8(low, zero), gain_red_green),
        Gained16(_mm256_unpacklo_epi8(high, zero), gain_red_green),
        Gained16(_mm256_unpackhi_epi8(high, zero), gain_red_green)};
    const __m256i blue_low =
        Gained16(_mm256_unpacklo_epi8(channel[0], zero), gain_blue);
    const __m256i blue_high =
        Gained16(_mm256_unpackhi_epi8(channel[0], zero), gain_blue);
    const __m256i blues[4] = {_mm256_unpacklo_epi16(blue_low, zero),
                              _mm256_unpackhi_epi16(blue_low, zero),
                              _mm256_unpacklo_epi16(blue_high, zero),
                              _mm256_unpackhi_epi16(blue_high, zero)};
    __m256i out[3];  // blue, green, red
#pragma GCC unroll 16
    for (int o = 0; o < 3; ++o) out[2 - o] = NarrowOutput(pairs, blues, o, f);
    Tone3(out, s.tone_steps);
    uint8_t* q = dst + 3 * k;
#pragma GCC unroll 16
    for (int block = 0; block < 3; ++block) {
      const __m256i bytes = _mm256_or_si256(
          _mm256_or_si256(
              _mm256_shuffle_epi8(out[0], Load32(kWideInterleave.m[block][0])),
              _mm256_shuffle_epi8(out[1], Load32(kWideInterleave.m[block][1]))),
          _mm256_shuffle_epi8(out[2], Load32(kWideInterleave.m[block][2])));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(q + 16 * block),
                       _mm256_castsi256_si128(bytes));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(q + kGroupBytes + 16 * block),
                       _mm256_extracti128_si256(bytes, 1));
    }
  }
  return k;
}

// The 16-bit form's channels of sixteen pixels in 16-bit lanes (each at
// most 255), pixel order kept: per output, saturated to 16 bits.
struct Outputs16 {
  __m256i o[3];  // red, green, blue
};

VK_AVX2 Outputs16 NarrowOutputs16(const Pixels16& p, const NarrowFactors& f) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i r = Gained16(p.r, f.gain_red), g = Gained16(p.g, f.gain_green);
  const __m256i b = Gained16(p.b, f.gain_blue);
  // Pixels 0-3 and 8-11, then 4-7 and 12-15, in 32-bit lanes; packing the
  // two puts them back in order.
  const __m256i pairs[2] = {_mm256_unpacklo_epi16(r, g),
                            _mm256_unpackhi_epi16(r, g)};
  const __m256i blues[2] = {_mm256_unpacklo_epi16(b, zero),
                            _mm256_unpackhi_epi16(b, zero)};
  Outputs16 out;
#pragma GCC unroll 3
  for (int o = 0; o < 3; ++o) {
    __m256i v[2];
#pragma GCC unroll 2
    for (int k = 0; k < 2; ++k) v[k] = NarrowSum(pairs[k], blues[k], o, f);
    out.o[o] = _mm256_packs_epi32(v[0], v[1]);
  }
  return out;
}

}  // namespace

namespace {

// Two blocks of sixteen demosaiced pixels (channels at most 255) through the
// colour step's 16-bit form and the tone table, stored as 96 bytes at `q`.
// With `in_order`, each block is sixteen columns in order; otherwise they
// are as Bilinear32 makes them.
VK_AVX2 void FinishPixels32(const Pixels16& a, const Pixels16& b, bool in_order,
                            const PixelStage& s, const NarrowFactors& f,
                            uint8_t* q) {
  const Outputs16 first = NarrowOutputs16(a, f);
  const Outputs16 second = NarrowOutputs16(b, f);
  // Saturating to 0 .. 255 is the clamp; the packed bytes (their 64-bit
  // quarters reordered for blocks in order) are the 32 columns in order,
  // the first sixteen in the low half.
  __m256i channel[3];  // blue, green, red
#pragma GCC unroll 3
  for (int o = 0; o < 3; ++o) {
    const __m256i packed = _mm256_packus_epi16(first.o[o], second.o[o]);
    channel[2 - o] = in_order ? _mm256_permute4x64_epi64(packed, 0xD8) : packed;
  }
  Tone3(channel, s.tone_steps);
#pragma GCC unroll 3
  for (int block = 0; block < 3; ++block) {
    const __m256i bytes = _mm256_or_si256(
        _mm256_or_si256(_mm256_shuffle_epi8(
                            channel[0], Load32(kWideInterleave.m[block][0])),
                        _mm256_shuffle_epi8(
                            channel[1], Load32(kWideInterleave.m[block][1]))),
        _mm256_shuffle_epi8(channel[2], Load32(kWideInterleave.m[block][2])));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(q + 16 * block),
                     _mm256_castsi256_si128(bytes));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(q + kGroupBytes + 16 * block),
                     _mm256_extracti128_si256(bytes, 1));
  }
}

template <bool kEven>
VK_AVX2 int Demosaic0Color(const uint8_t* up, const uint8_t* x,
                           const uint8_t* down, const PixelStage& s,
                           uint8_t* out, int w) {
  const NarrowFactors f = MakeNarrowFactors(s);
  int c = 1;
  for (; c + 32 < w; c += 32) {
    const Pixels32 p = Bilinear32(up, x, down, c, kEven);
    FinishPixels32(p.first, p.second, false, s, f, out + 3 * c);
  }
  return c;
}

// Modes 1 and 2's red-and-blue pass from rows of green alone, and the
// colour step, over blocks of 32 columns from column `first`.
template <int kMode, bool kEven>
VK_AVX2 int RedBlueColor(const uint8_t* xu, const uint8_t* x0,
                         const uint8_t* xd, const uint8_t* green,
                         const PixelStage& s, uint8_t* out, int w) {
  const NarrowFactors f = MakeNarrowFactors(s);
  // The columns a block must leave at the row's end, as the passes allow.
  const int reach = kMode == 1 ? 2 : 1;
  int c = kMode == 1 ? 2 : 1;
  for (; c + 32 + reach <= w; c += 32) {
    if constexpr (kMode == 1) {
      FinishPixels32(
          Mode1Block<true, kEven>(xu, x0, xd, nullptr, 0, w, green, c),
          Mode1Block<true, kEven>(xu, x0, xd, nullptr, 0, w, green, c + 16),
          true, s, f, out + 3 * c);
    } else {
      FinishPixels32(
          Mode2Block<true, kEven>(xu, x0, xd, nullptr, 0, w, green, c),
          Mode2Block<true, kEven>(xu, x0, xd, nullptr, 0, w, green, c + 16),
          true, s, f, out + 3 * c);
    }
  }
  return c;
}

}  // namespace

__attribute__((target("avx2"))) int RedBlueColorRowVector(
    int mode, const uint8_t* xu, const uint8_t* x0, const uint8_t* xd,
    const uint8_t* green, const PixelStage& s, uint8_t* out, int w, bool even) {
  if (mode == 1) {
    return even ? RedBlueColor<1, true>(xu, x0, xd, green, s, out, w)
                : RedBlueColor<1, false>(xu, x0, xd, green, s, out, w);
  }
  return even ? RedBlueColor<2, true>(xu, x0, xd, green, s, out, w)
              : RedBlueColor<2, false>(xu, x0, xd, green, s, out, w);
}

__attribute__((target("avx2"))) int Demosaic0ColorRowVector(
    const uint8_t* up, const uint8_t* x, const uint8_t* down,
    const PixelStage& s, uint8_t* out, int w, bool even) {
  return even ? Demosaic0Color<true>(up, x, down, s, out, w)
              : Demosaic0Color<false>(up, x, down, s, out, w);
}

__attribute__((target("avx2"))) size_t ColorRowVector(const PixelStage& s, const uint8_t* src,
                                                      uint8_t* dst, size_t pixels) {
  // Bytes 0..15 and 8..23 of eight pixels give each channel's eight bytes.
  const __m128i blue_lo = _mm_setr_epi8(0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i blue_hi = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, 10, 13, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i green_lo = _mm_setr_epi8(1, 4, 7, 10, 13, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i green_hi = _mm_setr_epi8(-1, -1, -1, -1, -1, 8, 11, 14, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i red_lo = _mm_setr_epi8(2, 5, 8, 11, 14, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i red_hi = _mm_setr_epi8(-1, -1, -1, -1, -1, 9, 12, 15, -1, -1, -1, -1, -1, -1, -1, -1);
  // Lanes of 0x00RRGGBB back to twelve bytes per 128-bit half.
  const __m256i pack = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,
                                        0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  const __m256i gain_r = _mm256_set1_epi32(s.gain[0]);
  const __m256i gain_g = _mm256_set1_epi32(s.gain[1]);
  const __m256i gain_b = _mm256_set1_epi32(s.gain[2]);
  __m256i m[3][3];
  for (int o = 0; o < 3; ++o)
    for (int i = 0; i < 3; ++i) m[o][i] = _mm256_set1_epi32(s.matrix[o][i]);

  size_t k = s.narrow ? ColorRowNarrow(s, src, dst, pixels) : 0;
  for (; k + 8 <= pixels; k += 8) {
    const uint8_t* p = src + 3 * k;
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8));
    const __m256i r = Gained(_mm_or_si128(_mm_shuffle_epi8(lo, red_lo), _mm_shuffle_epi8(hi, red_hi)), gain_r);
    const __m256i g = Gained(_mm_or_si128(_mm_shuffle_epi8(lo, green_lo), _mm_shuffle_epi8(hi, green_hi)), gain_g);
    const __m256i b = Gained(_mm_or_si128(_mm_shuffle_epi8(lo, blue_lo), _mm_shuffle_epi8(hi, blue_hi)), gain_b);
    const __m256i red = Output(m[0], r, g, b, s.tone32);
    const __m256i green = Output(m[1], r, g, b, s.tone32);
    const __m256i blue = Output(m[2], r, g, b, s.tone32);
    const __m256i bgr = _mm256_shuffle_epi8(
        _mm256_or_si256(blue, _mm256_or_si256(_mm256_slli_epi32(green, 8), _mm256_slli_epi32(red, 16))),
        pack);
    // Exactly 24 bytes: in place, the next pixels are not yet read.
    uint8_t* q = dst + 3 * k;
    const __m128i first = _mm256_castsi256_si128(bgr), second = _mm256_extracti128_si256(bgr, 1);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(q), first);
    const uint32_t first_tail = static_cast<uint32_t>(_mm_extract_epi32(first, 2));
    std::memcpy(q + 8, &first_tail, 4);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(q + 12), second);
    const uint32_t second_tail = static_cast<uint32_t>(_mm_extract_epi32(second, 2));
    std::memcpy(q + 20, &second_tail, 4);
  }
  return k;
}

// The shuffles that put sixteen pixels in reverse order: output block d of
// the 48 bytes takes from input block `block` the bytes of mask [d][block].
struct ReverseMasks {
  alignas(16) uint8_t m[3][3][16];
};
constexpr ReverseMasks MakeReverseMasks() {
  ReverseMasks masks{};
  for (int d = 0; d < 3; ++d)
    for (int block = 0; block < 3; ++block)
      for (int k = 0; k < 16; ++k) {
        const int out = 16 * d + k;
        const int in = 3 * (15 - out / 3) + out % 3;
        masks.m[d][block][k] =
            in / 16 == block ? static_cast<uint8_t>(in % 16) : kNone;
      }
  return masks;
}
constexpr ReverseMasks kReverse = MakeReverseMasks();

__attribute__((target("avx2"))) int MirrorCopyVector(const uint8_t* src,
                                                     uint8_t* dst, int width) {
  int j = 0;
  for (; j + 16 <= width; j += 16) {
    const uint8_t* p = src + 3 * static_cast<size_t>(j);
    const __m128i in[3] = {
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32))};
    uint8_t* q = dst + 3 * static_cast<size_t>(width - j - 16);
    for (int d = 0; d < 3; ++d) {
      const auto* masks = reinterpret_cast<const __m128i*>(kReverse.m[d]);
      const __m128i bytes = _mm_or_si128(
          _mm_or_si128(_mm_shuffle_epi8(in[0], _mm_load_si128(masks)),
                       _mm_shuffle_epi8(in[1], _mm_load_si128(masks + 1))),
          _mm_shuffle_epi8(in[2], _mm_load_si128(masks + 2)));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(q + 16 * d), bytes);
    }
  }
  return j;
}

// Sums of sixteen pixels at a time in 16-bit lanes, lane k of vector a
// holding byte 16a + k of each 48-byte block; the lanes go to their
// channels before they could overflow (256 blocks of at most 255).
__attribute__((target("avx2"))) int SumPixelsVector(const uint8_t* p,
                                                    int pixels,
                                                    ChannelSums* sums) {
  constexpr int kBlocksPerFlush = 256;
  int k = 0;
  uint64_t channel[3] = {sums->blue, sums->green, sums->red};
  while (k + 16 <= pixels) {
    __m256i acc[3] = {_mm256_setzero_si256(), _mm256_setzero_si256(),
                      _mm256_setzero_si256()};
    for (int blocks = 0; blocks < kBlocksPerFlush && k + 16 <= pixels;
         ++blocks, k += 16) {
      const uint8_t* q = p + 3 * static_cast<size_t>(k);
      for (int a = 0; a < 3; ++a)
        acc[a] = _mm256_add_epi16(acc[a], Load16(q + 16 * a));
    }
    alignas(32) uint16_t lanes[3][16];
    for (int a = 0; a < 3; ++a)
      _mm256_store_si256(reinterpret_cast<__m256i*>(lanes[a]), acc[a]);
    for (int a = 0; a < 3; ++a)
      for (int lane = 0; lane < 16; ++lane)
        channel[(16 * a + lane) % 3] += lanes[a][lane];
  }
  *sums = {channel[0], channel[1], channel[2]};
  return k;
}

}  // namespace vk::isp

#else

namespace vk::isp {

bool HasAvx2() { return false; }
int Demosaic0RowVector(const uint8_t*, const uint8_t*, const uint8_t*, uint8_t*, int, bool) {
  return 1;
}
int Demosaic0ColorRowVector(const uint8_t*, const uint8_t*, const uint8_t*,
                            const PixelStage&, uint8_t*, int, bool) {
  return 1;
}
int RedBlueColorRowVector(int mode, const uint8_t*, const uint8_t*,
                          const uint8_t*, const uint8_t*, const PixelStage&,
                          uint8_t*, int, bool) {
  return mode == 1 ? 2 : 1;
}
size_t ColorRowVector(const PixelStage&, const uint8_t*, uint8_t*, size_t) { return 0; }
int SumPixelsVector(const uint8_t*, int, ChannelSums*) { return 0; }
int MirrorCopyVector(const uint8_t*, uint8_t*, int) { return 0; }
int Mode1GreenRowVector(const uint8_t*, const uint8_t*, const uint8_t*,
                        const uint8_t*, const uint8_t*, uint8_t*, int, bool,
                        uint8_t*) {
  return 2;
}
int Mode1RedBlueRowVector(const uint8_t*, const uint8_t*, const uint8_t*,
                          uint8_t*, size_t, int, bool, const uint8_t*) {
  return 2;
}
int Mode2GreenRowVector(const uint8_t*, const uint8_t*, const uint8_t*,
                        uint8_t*, int, bool, uint8_t*) {
  return 1;
}
int Mode2RedBlueRowVector(const uint8_t*, const uint8_t*, const uint8_t*,
                          uint8_t*, size_t, int, bool, const uint8_t*) {
  return 1;
}

}  // namespace vk::isp

#endif
