// A RIFF AVI file of one video stream, written front to back: headers
// (avih, strl with strh, strf, a reserved super index and strn, the odml
// list), the movi chunks, idx1; beyond the RIFF size limit (1 GiB) further
// 'AVIX' RIFFs follow and every movi list gets its OpenDML standard index
// ('ix00'), listed by the super index ('indx'), so the file stays readable
// past 4 GiB.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/host/vfw_api.h"

namespace vk::vfw {

struct AviStreamHeader {
  FOURCC handler = 0;       // the compressor's, for strh
  uint32_t scale = 1;
  uint32_t rate = 4;
  uint32_t quality = 0xFFFFFFFF;
  uint32_t suggested_buffer = 0;
  int32_t width = 0, height = 0;
  std::string name;
  BITMAPINFOHEADER format = {};  // of the stored frames, for strf
  FOURCC chunk_id = 0;           // '00dc' or '00db'
};

class AviRiffWriter {
 public:
  static constexpr uint64_t kRiffLimit = 1ull << 30;

  AviRiffWriter(FILE* file, uint64_t riff_limit = kRiffLimit)
      : file_(file), riff_limit_(riff_limit) {}
  AviRiffWriter(const AviRiffWriter&) = delete;
  AviRiffWriter& operator=(const AviRiffWriter&) = delete;

  void SetStream(const AviStreamHeader& header) { header_ = header; }
  // One frame; an empty one (size 0) holds a place on the timeline.
  bool WriteFrame(const void* data, uint32_t size, bool key);
  // Indexes and header sizes; false when a write failed at any time.
  bool Finish();
  uint32_t frames() const { return total_frames_; }

 private:
  struct Entry {
    uint64_t offset;  // of the chunk header in the file
    uint32_t size;
    bool key;
  };
  struct Segment {
    uint64_t riff_start, movi_start;  // of 'RIFF' and of the movi LIST
    std::vector<Entry> entries;
  };
  struct SuperEntry {
    uint64_t offset;
    uint32_t size, duration;
  };

  void WriteHeaders();
  void BeginSegment();
  void EndSegment();
  void WriteIdx1(const Segment& s);
  void WriteStandardIndex(const Segment& s);
  void PatchHeaders();
  uint64_t Tell();
  void Put(const void* data, size_t size);
  void Put32(uint32_t v);
  void Put16(uint16_t v);
  void Put64(uint64_t v);
  void PutFourcc(const char* c) { Put(c, 4); }
  void PatchSize(uint64_t size_field, uint64_t end);

  FILE* file_;
  const uint64_t riff_limit_;
  AviStreamHeader header_;
  bool started_ = false;
  bool ok_ = true;
  bool rolling_over_ = false;
  uint32_t total_frames_ = 0;
  uint32_t max_chunk_ = 0;
  uint64_t avih_at_ = 0, strh_at_ = 0, indx_at_ = 0, dmlh_at_ = 0;
  Segment segment_;
  uint32_t first_segment_frames_ = 0;
  std::vector<SuperEntry> super_index_;
};

}  // namespace vk::vfw
