// The image signal pipeline's stages as pure functions over an image and its
// geometry: demosaicing (three modes), luminance, the combined colour step,
// gain and tone tables, mirroring and row reversal. Images are RGB24 in DIB
// byte order (blue, green, red per pixel, rows back to back); raw frames are
// 8-bit Bayer, even rows green-red, odd rows blue-green. Each stage works on
// a band of rows so that the caller may split a frame across threads; the
// result never depends on the split.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace vk::isp {

struct Geometry {
  int width;
  int height;
};

// Demosaic rows [first, last) of the output. Mode 1 and 2 read the green
// plane of their first pass from `out`, so a caller running bands in
// parallel runs each pass over all bands before the next (see Demosaic).
void Demosaic0(const uint8_t* raw, uint8_t* out, Geometry g, int first, int last);
void Mode1Green(const uint8_t* raw, uint8_t* out, Geometry g, int first, int last);
void Mode1RedBlue(const uint8_t* raw, uint8_t* out, Geometry g, int first, int last);
void Mode2Green(const uint8_t* raw, uint8_t* out, Geometry g, int first, int last);
void Mode2RedBlue(const uint8_t* raw, uint8_t* out, Geometry g, int first, int last);

// The same passes for one output row r, written at `row` (3 x width bytes).
// The red-and-blue passes read the green plane of rows r - 1 and r + 1 at
// `row` -/+ 3 x width; `whole_pixels` lets their vector form rewrite whole
// pixels, green included, which only a caller whose rows no other thread
// reads meanwhile may allow.
// With `green` (width bytes), the green passes also write the row's green
// alone there, and the red-and-blue passes read the green of rows r - 1, r
// and r + 1 from such rows at `green` - width, `green`, `green` + width
// instead of from the pixels: one byte a pixel is far cheaper to gather.
void Demosaic0Row(const uint8_t* raw, Geometry g, int r, uint8_t* row);
void Mode1GreenRow(const uint8_t* raw, Geometry g, int r, uint8_t* row,
                   uint8_t* green = nullptr);
void Mode1RedBlueRow(const uint8_t* raw, Geometry g, int r, uint8_t* row,
                     bool whole_pixels, const uint8_t* green = nullptr);
void Mode2GreenRow(const uint8_t* raw, Geometry g, int r, uint8_t* row,
                   uint8_t* green = nullptr);
void Mode2RedBlueRow(const uint8_t* raw, Geometry g, int r, uint8_t* row,
                     bool whole_pixels, const uint8_t* green = nullptr);

// The combined colour step: gains, saturation and colour matrix folded into
// one integer matrix (saturation matrix times colour matrix, 128 = 1.0 each).
struct ColorStep {
  int32_t m[3][3];  // rows: output red, green, blue; columns: red, green, blue
};
ColorStep MakeColorStep(uint8_t saturation, const int32_t (*matrix)[4]);

// The widest image the stages take (the sensor's full width).
inline constexpr int kMaxWidth = 2048;

// The per-pixel stage of a frame, with its tables made once per frame: the
// colour step (each gain table folded into its column of the matrix), the
// gains alone (each folded into the tone table), or the luminance; each
// followed by the tone table.
struct PixelStage {
  enum class Kind { kColor, kGains, kLuminance };
  Kind kind = Kind::kLuminance;
  int32_t color[3][3][256];  // [output][input][value], outputs and inputs red, green, blue
  uint8_t channel[3][256];   // blue, green, red: gain then tone
  const uint8_t* tone = nullptr;
  // The colour step's vector form (AVX2), used when the processor has it and
  // the gain tables are exactly min((v x gain) >> 6, 255) of `gain`: the
  // matrix and gains computed, the tone table widened for gathering.
  bool vector = false;
  int32_t matrix[3][3];
  uint16_t gain[3];
  int32_t tone32[256];
  // Its 16-bit form, used besides when the matrix, divided by the largest
  // power of two all its entries share (at most 2^14), fits 16 bits: each
  // output is then two sums of 16-bit products in pairs, shifted right by
  // `narrow_shift` (14 less that power's exponent), and the tone table is
  // looked up sixteen entries at a time from `tone_steps` (half h, step k:
  // entries 128h + 16k.. XOR the next sixteen, the last step of each half
  // as it is), each sixteen twice over for 256-bit lanes.
  // Where the divided matrix is wider than 16 bits, each entry is split as
  // high x 2^narrow_split + low (0 <= low < 2^narrow_split) and the sums of
  // the two parts are put together before the shift.
  bool narrow = false;
  int narrow_shift;
  int narrow_split;
  uint32_t narrow_red_green[3];  // per output: red | green << 16
  uint32_t narrow_blue[3];       // per output: blue in the low 16 bits
  uint32_t narrow_red_green_low[3];
  uint32_t narrow_blue_low[3];
  uint8_t tone_steps[16][32];
};
// The gain tables are red, green, blue; `factors`, when given, are the
// red, green and blue gains the tables were made from (the vector form is
// used only if they reproduce the tables exactly).
void MakeColorStage(const ColorStep& step, const uint8_t* const gains[3], const uint8_t* tone,
                    PixelStage* stage, const uint32_t* factors = nullptr);
// ---- Vector forms (AVX2), used only where HasAvx2() ----
bool HasAvx2();
// The colour step over the longest run of whole 8-pixel groups; returns the
// pixels it did. Only for a stage whose `vector` is set.
size_t ColorRowVector(const PixelStage& stage, const uint8_t* src, uint8_t* dst, size_t pixels);
// Mode 0's interior columns of one row from column 1 in blocks of sixteen;
// returns the first column it left to the scalar form.
int Demosaic0RowVector(const uint8_t* up, const uint8_t* x, const uint8_t* down, uint8_t* out,
                       int w, bool even);
// Mode 0 and the colour step's 16-bit form (`stage.narrow`) together over
// one interior row from column 1 in blocks of 32, the finished pixels at
// `out` (3 x width bytes) without the demosaiced ones going through memory;
// returns the first column it left (odd).
int Demosaic0ColorRowVector(const uint8_t* up, const uint8_t* x,
                            const uint8_t* down, const PixelStage& stage,
                            uint8_t* out, int w, bool even);
// Modes 1 and 2's red-and-blue pass (from rows of green alone, `green` at
// row r as for the row functions) and the colour step's 16-bit form together
// over one interior row, in blocks of 32 from the pass's first interior
// column, the finished pixels at `out`; returns the first column it left.
int RedBlueColorRowVector(int mode, const uint8_t* xu, const uint8_t* x0,
                          const uint8_t* xd, const uint8_t* green,
                          const PixelStage& stage, uint8_t* out, int w,
                          bool even);
// The red-and-blue passes' plain form from column `from` on (modes 1 and 2),
// reading the green of the pixels.
void RedBlueRowFrom(int mode, const uint8_t* raw, Geometry g, int r,
                    uint8_t* row, int from);
// Row r's (0 < r < height - 1) first pixel and its pixels from column
// `from` on, as Demosaic0Row makes them; the rest of `row` is left alone.
void Demosaic0RowEnds(const uint8_t* raw, Geometry g, int r, int from,
                      uint8_t* row);
// Mode 1's two passes over one row from column 2 in blocks of sixteen;
// each returns the first column it left to the scalar form. `stride` is the
// output's row length in bytes; `green`, when given, a row of green alone
// as for the row functions.
int Mode1GreenRowVector(const uint8_t* x2u, const uint8_t* x1u,
                        const uint8_t* x0, const uint8_t* x1d,
                        const uint8_t* x2d, uint8_t* row, int w, bool even,
                        uint8_t* green);
int Mode1RedBlueRowVector(const uint8_t* xu, const uint8_t* x0,
                          const uint8_t* xd, uint8_t* row, size_t stride, int w,
                          bool even, const uint8_t* green);
// Mode 2's two passes over one row's interior from column 1 likewise; the
// column returned is odd.
int Mode2GreenRowVector(const uint8_t* xu, const uint8_t* x0, const uint8_t* xd,
                        uint8_t* row, int w, bool even, uint8_t* green);
int Mode2RedBlueRowVector(const uint8_t* xu, const uint8_t* x0,
                          const uint8_t* xd, uint8_t* row, size_t stride, int w,
                          bool even, const uint8_t* green);
void MakeGainsStage(const uint8_t* const gains[3], const uint8_t* tone, PixelStage* stage);
void MakeLuminanceStage(const uint8_t* tone, PixelStage* stage);
// The stage over `pixels` pixels from `src` to `dst` (which may be `src`).
void ApplyStage(const PixelStage& stage, const uint8_t* src, uint8_t* dst, size_t pixels);

void MirrorRows(uint8_t* image, Geometry g, int first, int last);
// Reverses the order of the rows through `temp_row` (3 x width bytes).
void ReverseRows(uint8_t* image, Geometry g, uint8_t* temp_row);

// The pixel stage and the flips in one trip through memory: each row is
// transformed and written where the horizontal mirror and the row reversal
// put it. With `reverse`, [first, last) counts row pairs (row p with row
// height - 1 - p, (height + 1) / 2 of them); otherwise rows. The result is
// the stage, then MirrorRows, then ReverseRows. Width at most kMaxWidth.
void FinishRows(uint8_t* image, Geometry g, int first, int last, const PixelStage& stage,
                bool mirror, bool reverse);
inline int FinishUnits(Geometry g, bool reverse) { return reverse ? (g.height + 1) / 2 : g.height; }

// `dst` receives `src`'s `width` pixels in reverse order.
void MirrorCopy(const uint8_t* src, uint8_t* dst, int width);
// Its vector form over the first whole groups of sixteen source pixels;
// returns the pixels it did.
int MirrorCopyVector(const uint8_t* src, uint8_t* dst, int width);

// ---- The whole frame in bands that stay in cache ----

// Rows [top, bottom) and columns [left, right) of an image; empty when
// either range is.
struct Window {
  int top = 0, bottom = 0, left = 0, right = 0;
};
// Sums of each channel over a window.
struct ChannelSums {
  uint64_t blue = 0, green = 0, red = 0;
};

// What the pipeline does to one frame once the pixel stage is made.
struct FrameJob {
  const uint8_t* raw;
  uint8_t* out;
  Geometry g;
  int mode;  // demosaic mode 0, 1 or 2
  const PixelStage* stage;
  bool mirror;
  bool reverse;
  Window measured;  // of the finished image, summed on the way
};

// Rows [first, last) of the demosaiced image, a few at a time in a buffer
// that stays in cache, each then through the pixel stage and straight to
// where the mirror and the row reversal put it in `out`. The sums of the
// finished rows within `measured` are added to `*sums`. The result equals
// the demosaic passes, then FinishRows; any split of the rows gives the
// same image. Width at most kMaxWidth.
void ProcessRows(const FrameJob& job, int first, int last, ChannelSums* sums);

// The vector form of adding the channels of whole groups of sixteen pixels
// from `p` to `*sums`; returns the pixels it did.
int SumPixelsVector(const uint8_t* p, int pixels, ChannelSums* sums);

// The sums over `window` of the image demosaiced by `mode`, for its rows in
// [first, last), without keeping the image.
void MeasureDemosaiced(const uint8_t* raw, Geometry g, int mode, Window window,
                       int first, int last, ChannelSums* sums);

// Gamma and contrast in one table: entry i is 255 x (i / 255)^exponent,
// truncated and clamped, then pushed away from 128 by contrast / 128 of its
// distance. The power is taken in `Real`: double for the SDK, long double
// for the TWAIN source, as each has always built its tables.
template <typename Real>
void BuildToneTable(Real exponent, uint8_t contrast, uint8_t table[256]) {
  for (int i = 0; i < 256; ++i) {
    const Real g_real = Real(255) * std::pow(Real(i) / Real(255), exponent);
    const int g = std::clamp(static_cast<int>(g_real), 0, 255);
    const int d = std::abs(128 - g) * contrast / 128;
    table[i] = static_cast<uint8_t>(g >= 128 ? std::min(255, g + d) : std::max(0, g - d));
  }
}

}  // namespace vk::isp
