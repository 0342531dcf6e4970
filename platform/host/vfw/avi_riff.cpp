#include "platform/host/vfw/avi_riff.h"

#include <algorithm>
#include <cstring>

namespace vk::vfw {
namespace {

constexpr uint32_t kSuperEntries = 256;  // 256 RIFFs of 1 GiB
constexpr uint32_t kIndxBytes = 24 + 16 * kSuperEntries;
constexpr uint32_t kAvihBytes = 56;
constexpr uint32_t kStrhBytes = 56;
constexpr uint32_t kDmlhBytes = 248;
constexpr uint32_t kAvifHasIndex = 0x10;
constexpr uint32_t kIdx1KeyFrame = 0x10;
constexpr uint8_t kIndexOfIndexes = 0;
constexpr uint8_t kIndexOfChunks = 1;
constexpr uint32_t kNotKeyFrame = 0x80000000u;

}  // namespace

uint64_t AviRiffWriter::Tell() { return static_cast<uint64_t>(ftello(file_)); }

void AviRiffWriter::Put(const void* data, size_t size) {
  if (size && std::fwrite(data, 1, size, file_) != size) ok_ = false;
}
void AviRiffWriter::Put16(uint16_t v) {
  const uint8_t b[2] = {uint8_t(v), uint8_t(v >> 8)};
  Put(b, 2);
}
void AviRiffWriter::Put32(uint32_t v) {
  const uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
  Put(b, 4);
}
void AviRiffWriter::Put64(uint64_t v) {
  Put32(static_cast<uint32_t>(v));
  Put32(static_cast<uint32_t>(v >> 32));
}

// The size field at `size_field` covers what follows it up to `end`.
void AviRiffWriter::PatchSize(uint64_t size_field, uint64_t end) {
  const uint64_t here = Tell();
  fseeko(file_, static_cast<off_t>(size_field), SEEK_SET);
  Put32(static_cast<uint32_t>(end - size_field - 4));
  fseeko(file_, static_cast<off_t>(here), SEEK_SET);
}

void AviRiffWriter::WriteHeaders() {
  const std::vector<uint8_t> zeros(kIndxBytes, 0);
  PutFourcc("RIFF");
  Put32(0);
  PutFourcc("AVI ");
  const uint64_t hdrl = Tell();
  PutFourcc("LIST");
  Put32(0);
  PutFourcc("hdrl");
  PutFourcc("avih");
  Put32(kAvihBytes);
  avih_at_ = Tell();
  Put(zeros.data(), kAvihBytes);
  const uint64_t strl = Tell();
  PutFourcc("LIST");
  Put32(0);
  PutFourcc("strl");
  PutFourcc("strh");
  Put32(kStrhBytes);
  strh_at_ = Tell();
  Put(zeros.data(), kStrhBytes);
  PutFourcc("strf");
  Put32(sizeof(BITMAPINFOHEADER));
  Put(&header_.format, sizeof(BITMAPINFOHEADER));
  // Room for the super index, a JUNK chunk until a second RIFF needs it.
  indx_at_ = Tell();
  PutFourcc("JUNK");
  Put32(kIndxBytes);
  Put(zeros.data(), kIndxBytes);
  if (!header_.name.empty()) {
    const uint32_t length = static_cast<uint32_t>(header_.name.size() + 1);
    PutFourcc("strn");
    Put32(length);
    Put(header_.name.c_str(), length);
    if (length % 2) Put(zeros.data(), 1);
  }
  PatchSize(strl + 4, Tell());
  const uint64_t odml = Tell();
  PutFourcc("LIST");
  Put32(0);
  PutFourcc("odml");
  PutFourcc("dmlh");
  Put32(kDmlhBytes);
  dmlh_at_ = Tell();
  Put(zeros.data(), kDmlhBytes);
  PatchSize(odml + 4, Tell());
  PatchSize(hdrl + 4, Tell());
  segment_ = Segment{0, Tell(), {}};
  PutFourcc("LIST");
  Put32(0);
  PutFourcc("movi");
}

void AviRiffWriter::BeginSegment() {
  const uint64_t riff = Tell();
  PutFourcc("RIFF");
  Put32(0);
  PutFourcc("AVIX");
  segment_ = Segment{riff, Tell(), {}};
  PutFourcc("LIST");
  Put32(0);
  PutFourcc("movi");
}

void AviRiffWriter::WriteStandardIndex(const Segment& s) {
  const uint64_t at = Tell();
  const auto n = static_cast<uint32_t>(s.entries.size());
  PutFourcc("ix00");
  Put32(24 + 8 * n);
  Put16(2);  // longs per entry
  const uint8_t types[2] = {0, kIndexOfChunks};  // sub-type, type
  Put(types, 2);
  Put32(n);
  Put32(header_.chunk_id);
  Put64(s.movi_start);
  Put32(0);
  for (const Entry& e : s.entries) {
    Put32(static_cast<uint32_t>(e.offset + 8 - s.movi_start));
    Put32(e.size | (e.key ? 0 : kNotKeyFrame));
  }
  super_index_.push_back({at, 8 + 24 + 8 * n, n});
}

void AviRiffWriter::WriteIdx1(const Segment& s) {
  PutFourcc("idx1");
  Put32(static_cast<uint32_t>(16 * s.entries.size()));
  for (const Entry& e : s.entries) {
    Put32(header_.chunk_id);
    Put32(e.key ? kIdx1KeyFrame : 0);
    Put32(static_cast<uint32_t>(e.offset - (s.movi_start + 8)));
    Put32(e.size);
  }
}

// Closes the RIFF being written. Once a file needs more than one RIFF,
// every movi list carries its standard index.
void AviRiffWriter::EndSegment() {
  const bool first = segment_.riff_start == 0;
  if (rolling_over_) WriteStandardIndex(segment_);
  PatchSize(segment_.movi_start + 4, Tell());
  if (first) {
    WriteIdx1(segment_);
    first_segment_frames_ = static_cast<uint32_t>(segment_.entries.size());
  }
  PatchSize(segment_.riff_start + 4, Tell());
}

bool AviRiffWriter::WriteFrame(const void* data, uint32_t size, bool key) {
  if (!started_) {
    WriteHeaders();
    started_ = true;
  }
  const uint64_t riff_bytes = Tell() - segment_.riff_start;
  const uint64_t index_bytes = (segment_.entries.size() + 1) * (8 + 16) + 64;
  if (!segment_.entries.empty() && riff_bytes + 8 + size + index_bytes > riff_limit_) {
    rolling_over_ = true;
    EndSegment();
    BeginSegment();
  }
  const uint64_t at = Tell();
  Put32(header_.chunk_id);
  Put32(size);
  Put(data, size);
  if (size % 2) Put("", 1);
  segment_.entries.push_back({at, size, key});
  ++total_frames_;
  max_chunk_ = std::max(max_chunk_, size);
  return ok_;
}

void AviRiffWriter::PatchHeaders() {
  const uint32_t scale = std::max<uint32_t>(header_.scale, 1);
  const uint32_t rate = std::max<uint32_t>(header_.rate, 1);
  const uint32_t suggested = std::max(header_.suggested_buffer, max_chunk_);
  const bool extended = !super_index_.empty();
  fseeko(file_, static_cast<off_t>(avih_at_), SEEK_SET);
  Put32(static_cast<uint32_t>(1000000ull * scale / rate));
  Put32(static_cast<uint32_t>(uint64_t{max_chunk_} * rate / scale));
  Put32(0);
  Put32(kAvifHasIndex);
  Put32(extended ? first_segment_frames_ : total_frames_);
  Put32(0);
  Put32(1);
  Put32(suggested);
  Put32(static_cast<uint32_t>(header_.width));
  Put32(static_cast<uint32_t>(header_.height));
  fseeko(file_, static_cast<off_t>(strh_at_), SEEK_SET);
  Put32(streamtypeVIDEO);
  Put32(header_.handler);
  Put32(0);
  Put32(0);  // priority, language
  Put32(0);
  Put32(scale);
  Put32(rate);
  Put32(0);
  Put32(total_frames_);
  Put32(suggested);
  Put32(header_.quality);
  Put32(0);
  Put16(0);
  Put16(0);
  Put16(static_cast<uint16_t>(header_.width));
  Put16(static_cast<uint16_t>(header_.height));
  fseeko(file_, static_cast<off_t>(dmlh_at_), SEEK_SET);
  Put32(total_frames_);
  if (extended) {
    fseeko(file_, static_cast<off_t>(indx_at_), SEEK_SET);
    PutFourcc("indx");
    Put32(kIndxBytes);
    Put16(4);
    const uint8_t types[2] = {0, kIndexOfIndexes};
    Put(types, 2);
    Put32(static_cast<uint32_t>(super_index_.size()));
    Put32(header_.chunk_id);
    Put32(0);
    Put32(0);
    Put32(0);
    for (const SuperEntry& e : super_index_) {
      Put64(e.offset);
      Put32(e.size);
      Put32(e.duration);
    }
  }
  fseeko(file_, 0, SEEK_END);
}

bool AviRiffWriter::Finish() {
  if (!started_) {
    WriteHeaders();
    started_ = true;
  }
  EndSegment();
  PatchHeaders();
  if (std::fflush(file_) != 0) ok_ = false;
  return ok_;
}

}  // namespace vk::vfw
