#include "sdk/api/avi_writer.h"

#include <atomic>
#include <cstring>

namespace vk::sdk {
namespace {

constexpr LONG kPixelsPerMetre = 2835;
constexpr int kMinimumRate = 4;

// Live writers; the file library is initialised for the first and
// released after the last.
std::atomic<int> g_avi_library_users{0};

std::string Narrow(const WCHAR* wide) {
#ifdef _WIN32
  char text[256] = {};
  WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof(text), nullptr, nullptr);
  return text;
#else
  std::string text;
  for (; *wide; ++wide) text += static_cast<char>(*wide);
  return text;
#endif
}

}  // namespace

std::vector<Codec> InstalledCodecs() {
  std::vector<Codec> codecs;
  ICINFO info;
  for (DWORD i = 0; ICInfo(0, i, &info); ++i) {
    HIC compressor = ICOpen(info.fccType, info.fccHandler, ICMODE_QUERY);
    if (!compressor) continue;
    ICINFO full = {};
    ICGetInfo(compressor, &full, sizeof(full));
    codecs.push_back({info.fccHandler, Narrow(full.szDescription)});
    ICClose(compressor);
  }
  return codecs;
}

int RecordingRate(float frames_per_second) {
  const int whole = static_cast<int>(frames_per_second);
  return whole > kMinimumRate ? whole : kMinimumRate;
}

CAviWriter::CAviWriter(const std::string& path, int width, int height, int rate,
                       FOURCC codec)
    : path_(path), codec_(codec) {
  if (g_avi_library_users.fetch_add(1) == 0) AVIFileInit();
  format_.biSize = sizeof(BITMAPINFOHEADER);
  format_.biWidth = width;
  format_.biHeight = height;
  format_.biPlanes = 1;
  format_.biBitCount = 24;
  format_.biCompression = BI_RGB;
  format_.biSizeImage = static_cast<DWORD>(((width * 3 + 3) & ~3) * height);
  format_.biXPelsPerMeter = kPixelsPerMetre;
  format_.biYPelsPerMeter = kPixelsPerMetre;
  if (!path_.empty()) Open(rate);
}

CAviWriter::~CAviWriter() { Close(); }

void CAviWriter::Open(int rate) {
  if (AVIFileOpen(&file_, path_.c_str(), OF_WRITE | OF_CREATE, nullptr) != AVIERR_OK) {
    file_ = nullptr;
    return;
  }
  AVISTREAMINFOA info = {};
  info.fccType = streamtypeVIDEO;
  info.dwScale = 1;
  info.dwRate = static_cast<DWORD>(rate > kMinimumRate ? rate : kMinimumRate);
  info.dwSuggestedBufferSize = format_.biSizeImage;
  info.dwQuality = static_cast<DWORD>(-1);
  info.rcFrame = RECT{0, 0, format_.biWidth, format_.biHeight};
  std::strcpy(info.szName, " Recording");
  if (AVIFileCreateStream(file_, &stream_, &info) != AVIERR_OK) {
    stream_ = nullptr;
    return ReleaseStreams();
  }
  AVICOMPRESSOPTIONS options = {};
  options.fccHandler = codec_ != 0 ? codec_ : kDefaultCodec;
  options.dwQuality = codec_ != 0 ? static_cast<DWORD>(-1) : 0;
  if (AVIMakeCompressedStream(&compressed_, stream_, &options, nullptr) != AVIERR_OK) {
    compressed_ = nullptr;
    return ReleaseStreams();
  }
  if (AVIStreamSetFormat(compressed_, 0, &format_, sizeof(format_)) != AVIERR_OK)
    return ReleaseStreams();
}

int CAviWriter::Write(int32_t position, const uint8_t* image) {
  if (!compressed_ || !image) return 0;
  return AVIStreamWrite(compressed_, position, 1, const_cast<uint8_t*>(image),
                        static_cast<LONG>(format_.biSizeImage), AVIIF_KEYFRAME,
                        nullptr, nullptr) == AVIERR_OK
             ? 1
             : 0;
}

void CAviWriter::ReleaseStreams() {
  if (stream_) AVIStreamRelease(stream_);
  if (compressed_) AVIStreamRelease(compressed_);
  if (file_) AVIFileRelease(file_);
  stream_ = compressed_ = nullptr;
  file_ = nullptr;
}

void CAviWriter::Close() {
  ReleaseStreams();
  if (!closed_) {
    closed_ = true;
    if (g_avi_library_users.fetch_sub(1) == 1) AVIFileExit();
  }
}

}  // namespace vk::sdk
