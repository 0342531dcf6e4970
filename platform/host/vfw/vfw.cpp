// The AVIFile and compressor calls of the Linux host. An AVI file object
// owns the RIFF writer; a stream created in it stores frames as given, a
// compressed stream made from it runs them through the chosen encoder
// first. Sample positions that skip are filled with empty frames so the
// timeline stays right. Releasing the file finishes it.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host/vfw/avi_riff.h"
#include "platform/host/vfw/encoders.h"
#include "platform/host/vfw_api.h"

struct IAVIFile {
  std::mutex mutex;
  FILE* file = nullptr;
  std::unique_ptr<vk::vfw::AviRiffWriter> riff;
  int references = 1;
  AVISTREAMINFOA info = {};
  bool has_stream = false;
};

struct IAVIStream {
  IAVIFile* file = nullptr;
  IAVIStream* source = nullptr;  // of a compressed stream
  std::unique_ptr<vk::vfw::Encoder> encoder;
  FOURCC handler = 0;
  BITMAPINFOHEADER input = {};
  bool has_format = false;
  int32_t next_position = 0;
  int references = 1;
  // The encoded frame, kept between writes so that a recording does not
  // allocate a frame's worth of memory per frame.
  std::vector<uint8_t> stored;
};

struct HIC__ {
  const vk::vfw::Compressor* compressor;
};

namespace {

std::atomic<int> g_library_users{0};

ULONG ReleaseFile(IAVIFile* file) {
  int left;
  {
    std::lock_guard lock(file->mutex);
    left = --file->references;
  }
  if (left > 0) return static_cast<ULONG>(left);
  if (file->riff) file->riff->Finish();
  if (file->file) std::fclose(file->file);
  delete file;
  return 0;
}

vk::vfw::AviStreamHeader StreamHeader(const IAVIStream& s, FOURCC compression,
                                      FOURCC chunk_id) {
  const AVISTREAMINFOA& info = s.file->info;
  vk::vfw::AviStreamHeader h;
  h.handler = s.handler;
  h.scale = info.dwScale;
  h.rate = info.dwRate;
  h.quality = info.dwQuality;
  h.suggested_buffer = info.dwSuggestedBufferSize;
  h.width = s.input.biWidth;
  h.height = s.input.biHeight;
  h.name = info.szName;
  h.format = s.input;
  h.format.biCompression = compression;
  if (compression != 0)
    h.format.biSizeImage = static_cast<DWORD>(s.input.biWidth) * s.input.biHeight * 3;
  h.chunk_id = chunk_id;
  return h;
}

void WideDescription(const char* text, WCHAR* out, size_t room) {
  size_t i = 0;
  for (; text[i] && i + 1 < room; ++i) out[i] = static_cast<WCHAR>(text[i]);
  out[i] = 0;
}

}  // namespace

extern "C" {

void AVIFileInit() { ++g_library_users; }
void AVIFileExit() { --g_library_users; }

HRESULT AVIFileOpenA(PAVIFILE* file, LPCSTR name, UINT mode, LPCLSID) {
  if (!file || !name || !(mode & OF_CREATE)) return AVIERR_BADPARAM;
  *file = nullptr;
  FILE* f = std::fopen(name, "wb");
  if (!f) return AVIERR_FILEOPEN;
  auto* avi = new IAVIFile;
  avi->file = f;
  avi->riff = std::make_unique<vk::vfw::AviRiffWriter>(f);
  *file = avi;
  return AVIERR_OK;
}

HRESULT AVIFileCreateStreamA(PAVIFILE file, PAVISTREAM* stream,
                             LPAVISTREAMINFOA info) {
  if (!file || !stream || !info || info->fccType != streamtypeVIDEO) return AVIERR_BADPARAM;
  std::lock_guard lock(file->mutex);
  if (file->has_stream) return AVIERR_UNSUPPORTED;  // one video stream
  file->has_stream = true;
  file->info = *info;
  ++file->references;
  auto* s = new IAVIStream;
  s->file = file;
  s->handler = mmioFOURCC('D', 'I', 'B', ' ');
  *stream = s;
  return AVIERR_OK;
}

HRESULT AVIMakeCompressedStream(PAVISTREAM* compressed, PAVISTREAM source,
                                AVICOMPRESSOPTIONS* options, LPCLSID) {
  if (!compressed || !source || !options) return AVIERR_BADPARAM;
  *compressed = nullptr;
  const vk::vfw::Compressor* c = vk::vfw::FindCompressor(options->fccHandler);
  if (!c) return AVIERR_NOCOMPRESSOR;
  auto* s = new IAVIStream;
  s->file = source->file;
  s->source = source;
  ++source->references;
  {
    std::lock_guard lock(s->file->mutex);
    ++s->file->references;
  }
  s->handler = c->handler;
  s->encoder = c->make(static_cast<int>(options->dwQuality));
  *compressed = s;
  return AVIERR_OK;
}

HRESULT AVIStreamSetFormat(PAVISTREAM stream, LONG, LPVOID format, LONG size) {
  if (!stream || !format || size < static_cast<LONG>(sizeof(BITMAPINFOHEADER)))
    return AVIERR_BADPARAM;
  BITMAPINFOHEADER header;
  std::memcpy(&header, format, sizeof(header));
  if (header.biBitCount != 24 || header.biCompression != 0 || header.biWidth <= 0 ||
      header.biHeight <= 0)
    return AVIERR_BADFORMAT;
  std::lock_guard lock(stream->file->mutex);
  const AVISTREAMINFOA& info = stream->file->info;
  const int rate = static_cast<int>(info.dwRate / (info.dwScale ? info.dwScale : 1));
  vk::vfw::Encoder* encoder = stream->encoder.get();
  std::unique_ptr<vk::vfw::Encoder> plain;
  if (!encoder) {
    plain = vk::vfw::FindCompressor(mmioFOURCC('D', 'I', 'B', ' '))->make(-1);
    encoder = plain.get();
  }
  if (!encoder->Start(header.biWidth, header.biHeight, rate)) return AVIERR_BADFORMAT;
  if (plain) stream->encoder = std::move(plain);
  stream->input = header;
  stream->has_format = true;
  stream->file->riff->SetStream(
      StreamHeader(*stream, encoder->compression(), encoder->chunk_id()));
  return AVIERR_OK;
}

HRESULT AVIStreamWrite(PAVISTREAM stream, LONG start, LONG samples, LPVOID buffer,
                       LONG size, DWORD, LONG* samples_written, LONG* bytes_written) {
  if (!stream || !buffer || samples != 1 || !stream->has_format) return AVIERR_BADPARAM;
  const size_t frame_bytes =
      static_cast<size_t>(vk::vfw::DibStride(stream->input.biWidth)) * stream->input.biHeight;
  if (size < 0 || static_cast<size_t>(size) < frame_bytes) return AVIERR_BADPARAM;
  std::vector<uint8_t>& stored = stream->stored;
  bool key = false;
  if (!stream->encoder->Encode(static_cast<const uint8_t*>(buffer), &stored, &key))
    return AVIERR_UNSUPPORTED;
  std::lock_guard lock(stream->file->mutex);
  vk::vfw::AviRiffWriter& riff = *stream->file->riff;
  bool ok = true;
  for (; stream->next_position < start; ++stream->next_position)
    ok = riff.WriteFrame(nullptr, 0, false) && ok;
  ok = riff.WriteFrame(stored.data(), static_cast<uint32_t>(stored.size()), key) && ok;
  stream->next_position = std::max<int32_t>(stream->next_position, start) + 1;
  if (samples_written) *samples_written = 1;
  if (bytes_written) *bytes_written = static_cast<LONG>(stored.size());
  return ok ? AVIERR_OK : AVIERR_FILEWRITE;
}

ULONG AVIStreamRelease(PAVISTREAM stream) {
  if (!stream) return 0;
  if (--stream->references > 0) return static_cast<ULONG>(stream->references);
  IAVIStream* source = stream->source;
  IAVIFile* file = stream->file;
  delete stream;
  if (source) AVIStreamRelease(source);
  ReleaseFile(file);
  return 0;
}

ULONG AVIFileRelease(PAVIFILE file) { return file ? ReleaseFile(file) : 0; }

BOOL ICInfo(DWORD type, DWORD handler, ICINFO* info) {
  const auto& all = vk::vfw::InstalledCompressors();
  if (!info || (type != ICTYPE_VIDEO && type != 0) || handler >= all.size()) return FALSE;
  std::memset(info, 0, sizeof(*info));
  info->dwSize = sizeof(ICINFO);
  info->fccType = ICTYPE_VIDEO;
  info->fccHandler = all[handler].handler;
  return TRUE;
}

HIC ICOpen(DWORD, DWORD handler, UINT) {
  const vk::vfw::Compressor* c = vk::vfw::FindCompressor(handler);
  return c ? new HIC__{c} : nullptr;
}

LRESULT ICGetInfo(HIC compressor, ICINFO* info, DWORD size) {
  if (!compressor || !info || size < sizeof(ICINFO)) return 0;
  std::memset(info, 0, sizeof(*info));
  info->dwSize = sizeof(ICINFO);
  info->fccType = ICTYPE_VIDEO;
  info->fccHandler = compressor->compressor->handler;
  WideDescription(compressor->compressor->name, info->szName, 16);
  WideDescription(compressor->compressor->description, info->szDescription, 128);
  WideDescription("libvkvfw", info->szDriver, 128);
  return sizeof(ICINFO);
}

LRESULT ICClose(HIC compressor) {
  delete compressor;
  return ICERR_OK;
}

}  // extern "C"
