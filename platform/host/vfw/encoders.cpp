#include "platform/host/vfw/encoders.h"

#include <xvid.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <type_traits>
#include <cstdio>
#include <cstring>

// clang-format off
#include <jpeglib.h>
// clang-format on

namespace vk::vfw {
namespace {

constexpr FOURCC kChunkCompressed = mmioFOURCC('0', '0', 'd', 'c');
constexpr FOURCC kChunkUncompressed = mmioFOURCC('0', '0', 'd', 'b');

// Frames as they come: the DIB rows themselves.
class DibEncoder : public Encoder {
 public:
  bool Start(int width, int height, int) override {
    bytes_ = static_cast<size_t>(DibStride(width)) * height;
    return width > 0 && height > 0;
  }
  bool Encode(const uint8_t* dib, std::vector<uint8_t>* out, bool* key) override {
    out->assign(dib, dib + bytes_);
    *key = true;
    return true;
  }
  FOURCC compression() const override { return 0; }
  FOURCC chunk_id() const override { return kChunkUncompressed; }

 private:
  size_t bytes_ = 0;
};

// Every frame a baseline JPEG, top row first as JPEG stores it.
class MjpegEncoder : public Encoder {
 public:
  explicit MjpegEncoder(int quality) : quality_(quality < 0 ? 85 : quality / 100) {}
  bool Start(int width, int height, int) override {
    width_ = width;
    height_ = height;
    return width > 0 && height > 0;
  }
  bool Encode(const uint8_t* dib, std::vector<uint8_t>* out, bool* key) override {
    jpeg_compress_struct c;
    jpeg_error_mgr errors;
    c.err = jpeg_std_error(&errors);
    jpeg_create_compress(&c);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &buffer, &size);
    c.image_width = static_cast<JDIMENSION>(width_);
    c.image_height = static_cast<JDIMENSION>(height_);
    c.input_components = 3;
    c.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, quality_ < 1 ? 1 : quality_, TRUE);
    jpeg_start_compress(&c, TRUE);
    const int stride = DibStride(width_);
    while (c.next_scanline < c.image_height) {
      // The DIB's last row is the picture's top row.
      JSAMPROW row = const_cast<uint8_t*>(dib) +
                     static_cast<size_t>(height_ - 1 - c.next_scanline) * stride;
      jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    out->assign(buffer, buffer + size);
    jpeg_destroy_compress(&c);
    std::free(buffer);
    *key = true;
    return true;
  }
  FOURCC compression() const override { return mmioFOURCC('M', 'J', 'P', 'G'); }
  FOURCC chunk_id() const override { return kChunkCompressed; }

 private:
  int quality_;
  int width_ = 0, height_ = 0;
};

// MPEG-4 part 2 through libxvidcore at a constant quantiser; the encoder
// reads the DIB bottom-up. Like Xvid's own Windows driver it keeps its
// configured quality when asked for the default (-1) or for 0.
class XvidEncoder : public Encoder {
 public:
  explicit XvidEncoder(int quality)
      : quant_(quality <= 0 ? 4 : 31 - std::min(quality, 10000) * 29 / 10000) {}
  ~XvidEncoder() override {
    if (handle_) xvid_encore(handle_, XVID_ENC_DESTROY, nullptr, nullptr);
  }
  bool Start(int width, int height, int rate) override {
    xvid_gbl_init_t init = {};
    init.version = XVID_VERSION;
    xvid_global(nullptr, XVID_GBL_INIT, &init, nullptr);
    xvid_enc_create_t create = {};
    create.version = XVID_VERSION;
    create.width = width;
    create.height = height;
    create.fincr = 1;
    create.fbase = rate > 0 ? rate : 25;
    create.max_key_interval = 10 * create.fbase;
    if (xvid_encore(nullptr, XVID_ENC_CREATE, &create, nullptr) < 0) return false;
    handle_ = create.handle;
    width_ = width;
    height_ = height;
    return true;
  }
  bool Encode(const uint8_t* dib, std::vector<uint8_t>* out, bool* key) override {
    out->resize(static_cast<size_t>(width_) * height_ * 3 + 4096);
    xvid_enc_frame_t frame = {};
    frame.version = XVID_VERSION;
    frame.bitstream = out->data();
    frame.length = static_cast<int>(out->size());
    frame.input.csp = XVID_CSP_BGR | XVID_CSP_VFLIP;
    frame.input.plane[0] = const_cast<uint8_t*>(dib);
    frame.input.stride[0] = DibStride(width_);
    frame.type = XVID_TYPE_AUTO;
    frame.quant = quant_;
    frame.vol_flags = 0;
    frame.vop_flags = XVID_VOP_HALFPEL | XVID_VOP_INTER4V;
    frame.motion = XVID_ME_ADVANCEDDIAMOND16;
    xvid_enc_stats_t stats = {};
    stats.version = XVID_VERSION;
    const int bytes = xvid_encore(handle_, XVID_ENC_ENCODE, &frame, &stats);
    if (bytes < 0) return false;
    out->resize(static_cast<size_t>(bytes));
    *key = (frame.out_flags & XVID_KEYFRAME) != 0;
    return true;
  }
  FOURCC compression() const override { return mmioFOURCC('X', 'V', 'I', 'D'); }
  FOURCC chunk_id() const override { return kChunkCompressed; }

 private:
  int quant_;
  void* handle_ = nullptr;
  int width_ = 0, height_ = 0;
};

template <typename T>
std::unique_ptr<Encoder> Make(int quality) {
  if constexpr (std::is_constructible_v<T, int>) {
    return std::make_unique<T>(quality);
  } else {
    return std::make_unique<T>();
  }
}

FOURCC Lower(FOURCC f) {
  FOURCC out = 0;
  for (int i = 0; i < 4; ++i)
    out |= static_cast<FOURCC>(std::tolower((f >> (8 * i)) & 0xFF)) << (8 * i);
  return out;
}

}  // namespace

int DibStride(int width) { return (width * 3 + 3) & ~3; }

const std::vector<Compressor>& InstalledCompressors() {
  static const std::vector<Compressor> compressors = {
      {mmioFOURCC('x', 'v', 'i', 'd'), "xvid", "Xvid MPEG-4 Codec", &Make<XvidEncoder>},
      {mmioFOURCC('M', 'J', 'P', 'G'), "mjpeg", "Motion JPEG", &Make<MjpegEncoder>},
      {mmioFOURCC('D', 'I', 'B', ' '), "dib", "Full Frames (Uncompressed)", &Make<DibEncoder>},
  };
  return compressors;
}

const Compressor* FindCompressor(FOURCC handler) {
  for (const Compressor& c : InstalledCompressors())
    if (Lower(c.handler) == Lower(handler)) return &c;
  return nullptr;
}

}  // namespace vk::vfw
