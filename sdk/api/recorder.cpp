#include "sdk/api/recorder.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/vfw.h"
#include "sdk/api/avi_writer.h"
#include "sdk/api/sdk_state.h"
#include "sdk/api/still_writers.h"

namespace vk::sdk {
namespace {

constexpr size_t kExecutablePath = 256;
// "没有找到此Codec,采用默认压缩方法Xvid!" in the GBK code page.
constexpr char kCodecNotFound[] =
    "\xC3\xBB\xD3\xD0\xD5\xD2\xB5\xBD\xB4\xCB" "Codec,"
    "\xB2\xC9\xD3\xC3\xC4\xAC\xC8\xCF\xD1\xB9\xCB\xF5\xB7\xBD\xB7\xA8" "Xvid!";

constexpr char kFullFrames[] = "Full Frames (Uncompressed)";

// "Video-MMDDhhmmss.avi" beside the executable.
std::string DefaultVideoPath() {
  char path[kExecutablePath + 1] = {};
  GetModuleFileNameA(nullptr, path, kExecutablePath);
  std::string directory = path;
  const size_t slash = directory.find_last_of("\\/");
  directory = slash == std::string::npos ? "" : directory.substr(0, slash + 1);
  SYSTEMTIME now = {};
  GetLocalTime(&now);
  char name[64];
  std::snprintf(name, sizeof(name), "Video-%02d%02d%02d%02d%02d.avi", now.wMonth,
                now.wDay, now.wHour, now.wMinute, now.wSecond);
  return directory + name;
}

std::string VideoPathOrDefault(SdkState& s) {
  std::lock_guard lock(s.video_path_lock);
  if (s.video_path.empty()) s.video_path = DefaultVideoPath();
  return s.video_path;
}

// The newest recorded image as a DIB, rows padded to four bytes; false
// when none came since `last`.
bool TakeNewImage(SdkState& s, uint32_t* last, int width, int height,
                  std::vector<uint8_t>* dib) {
  std::lock_guard lock(s.recording_lock);
  if (s.recorded_frames == *last) return false;
  *last = s.recorded_frames;
  const size_t row = static_cast<size_t>(width) * 3;
  const size_t stride = static_cast<size_t>(BmpStride(width));
  for (int y = 0; y < height; ++y)
    std::memcpy(dib->data() + stride * y, s.recording.get() + row * y, row);
  return true;
}

// Writes every newly counted image until the recording is stopped. The
// stop is read before the image, so the image counted last before the stop
// is always in the file, also when it came while the writer was opening;
// false when a write failed.
bool WriteUntilStopped(SdkState& s, CAviWriter& writer, int width, int height) {
  std::vector<uint8_t> dib(writer.format().biSizeImage);
  uint32_t last = 0;  // RecordAviStart set the counter to 0
  for (;;) {
    const bool stopping = s.recording_flag.load() != 0;
    if (TakeNewImage(s, &last, width, height, &dib)) {
      if (!writer.Write(static_cast<int32_t>(last), dib.data())) return false;
    } else if (!stopping) {
      Sleep(1);
    }
    if (stopping) return true;
  }
}

// Even a recording stopped before this thread ran gets its file, with
// whatever images were counted since RecordAviStart.
void RecordThread() {
  SdkState& s = Sdk();
  int width = 0, height = 0;
  s.camera->GetImageSize(&width, &height);
  const float rate = s.frame_rate.Rate(FrameRateMeter::Clock::now());
  CAviWriter writer(VideoPathOrDefault(s), width, height, RecordingRate(rate),
                    s.codec_handler.load());
  if (!WriteUntilStopped(s, writer, width, height)) {
    MessageBoxA(nullptr, "Not find Xvid encoder!", nullptr, MB_OK);
    s.recording_flag = 1;
  }
  writer.Close();
  SetEvent(s.record_finished);
}

}  // namespace

int StopRecording() {
  SdkState& s = Sdk();
  if (!s.record_thread.joinable()) return 0;
  // A recording that ended by itself (a failed write) is over already.
  const bool running = s.recording_flag.exchange(1) == 0;
  WaitForSingleObject(s.record_finished, INFINITE);
  s.record_thread.join();
  CloseHandle(std::exchange(s.record_finished, nullptr));
  return running ? 1 : 0;
}

}  // namespace vk::sdk

using vk::sdk::Sdk;
using vk::sdk::SdkState;

extern "C" {

int32_t QueryCodec() {
  std::string list;
  for (const vk::sdk::Codec& codec : vk::sdk::InstalledCodecs())
    list += codec.description + "\n";
  MessageBoxA(nullptr, list.c_str(), nullptr, MB_OK);
  return 1;
}

int32_t SetCodec(const char* description) {
  SdkState& s = Sdk();
  bool found = false;
  for (const vk::sdk::Codec& codec : vk::sdk::InstalledCodecs()) {
    if (codec.description != description) continue;
    s.codec_handler = codec.handler;
    found = true;
    break;
  }
  // Video for Windows' own choice of no compression, which its compressor
  // dialog offers beside the installed compressors: the compressed stream
  // then passes the frames through, so it needs no compressor at all.
  if (!found && description != nullptr &&
      std::strcmp(description, vk::sdk::kFullFrames) == 0) {
    s.codec_handler = mmioFOURCC('D', 'I', 'B', ' ');
    found = true;
  }
  if (!found) {
    s.codec_handler = 0;
    MessageBoxA(nullptr, vk::sdk::kCodecNotFound, nullptr, MB_OK);
  }
  return 1;
}

int32_t SetVideoFilePathName(const char* path) {
  SdkState& s = Sdk();
  std::lock_guard lock(s.video_path_lock);
  s.video_path = path ? path : "";
  return 1;
}

int32_t RecordAviStart() {
  SdkState& s = Sdk();
  // The record thread needs the camera's image size and buffer.
  if (!s.camera || !s.recording || s.recording_flag.load() == 0) return 0;
  vk::sdk::StopRecording();  // joins a recording that ended by itself
  {
    std::lock_guard lock(s.recording_lock);
    s.recorded_frames = 0;
  }
  s.recording_flag = 0;
  s.record_finished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  s.record_thread = std::thread(vk::sdk::RecordThread);
  return 1;
}

int32_t RecordAviStop() { return vk::sdk::StopRecording(); }

}  // extern "C"
