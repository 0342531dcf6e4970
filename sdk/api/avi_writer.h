// One AVI recording's file: a video stream of 24-bit bottom-up frames run
// through the chosen compressor of the Video for Windows services.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/vfw.h"

namespace vk::sdk {

// The compressor used when none was chosen.
inline constexpr FOURCC kDefaultCodec = mmioFOURCC('X', 'v', 'i', 'd');

struct Codec {
  FOURCC handler;
  std::string description;  // in the ANSI code page
};
// The installed video compressors, in the system's order: each is opened
// in query mode for its description and closed again.
std::vector<Codec> InstalledCodecs();

// The stream header's rate: the frame rate's integer part, at least 4.
int RecordingRate(float frames_per_second);

class CAviWriter {
 public:
  // A failure to create the file or its streams leaves the writer without
  // a compressed stream: every write then fails.
  CAviWriter(const std::string& path, int width, int height, int rate,
             FOURCC codec);
  virtual ~CAviWriter();
  CAviWriter(const CAviWriter&) = delete;
  CAviWriter& operator=(const CAviWriter&) = delete;

  // One bottom-up frame of the format's image size at `position`: 1 or 0.
  int Write(int32_t position, const uint8_t* image);
  void Close();
  const BITMAPINFOHEADER& format() const { return format_; }

 private:
  void Open(int rate);
  void ReleaseStreams();

  std::string path_;
  FOURCC codec_;
  BITMAPINFOHEADER format_ = {};
  PAVIFILE file_ = nullptr;
  PAVISTREAM stream_ = nullptr;
  PAVISTREAM compressed_ = nullptr;
  bool closed_ = false;
};

}  // namespace vk::sdk
