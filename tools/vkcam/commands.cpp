// vkcam info, snap, stream, set and get: the SDK as an application uses it.
#include "tools/vkcam/commands.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "sdk/api/avi_writer.h"
#include "tools/vkcam/session.h"
#include "tools/vkcam/stored_video.h"

namespace vk::tools {
namespace {

using Clock = std::chrono::steady_clock;

// A setting reachable by name: how to read it and how to change it.
struct Parameter {
  const char* name;
  const char* meaning;
  std::function<int32_t()> get;
  std::function<void(int32_t)> set;
};

template <typename T>
int32_t Read(int32_t (*getter)(T*)) {
  T value{};
  getter(&value);
  return static_cast<int32_t>(value);
}

const std::vector<Parameter>& Parameters() {
  static const std::vector<Parameter> table = {
      {"ae", "automatic exposure (0/1)", [] { return Read(CameraGetAeState); },
       [](int32_t v) { CameraSetAeState(v); }},
      {"awb", "automatic white balance (0/1)", [] { return Read(CameraGetAWBState); },
       [](int32_t v) { CameraSetAWBState(v); }},
      {"target", "brightness AE aims at", [] { return Read(CameraGetAeTarget); },
       [](int32_t v) { CameraSetAeTarget(v); }},
      {"exposure", "exposure in sensor rows", [] { return Read(CameraGetExposureTime); },
       [](int32_t v) { CameraSetExposureTime(v); }},
      {"gain", "analog gain 0..86", [] { return Read(CameraGetAnalogGain); },
       [](int32_t v) { CameraSetAnalogGain(v); }},
      {"gamma", "gamma, 100 = 1.0", [] { return Read(CameraGetGamma); },
       [](int32_t v) { CameraSetGamma(v); }},
      {"contrast", "contrast", [] { return Read(CameraGetContrast); },
       [](int32_t v) { CameraSetContrast(v); }},
      {"saturation", "saturation, 128 = neutral", [] { return Read(CameraGetSaturation); },
       [](int32_t v) { CameraSetSaturation(v); }},
      {"color", "colour matrix on (0/1)", [] { return Read(CameraGetColorEnhancement); },
       [](int32_t v) { CameraSetColorEnhancement(v); }},
      {"mode", "Bayer interpolation 0..2", [] { return Read(CameraGetB2RGBMode); },
       [](int32_t v) { CameraSetB2RGBMode(v); }},
      {"mono", "monochrome (0/1)",
       [] {
         int32_t v = 0;
         CameraGetMonochrome(&v);
         return v;
       },
       [](int32_t v) { CameraSetMonochrome(v); }},
      {"hflip", "horizontal mirror (0/1)",
       [] {
         int32_t v = 0;
         CameraGetMirror(0, &v);
         return v;
       },
       [](int32_t v) { CameraSetMirror(0, v); }},
      {"vflip", "vertical flip (0/1)",
       [] {
         int32_t v = 0;
         CameraGetMirror(1, &v);
         return v;
       },
       [](int32_t v) { CameraSetMirror(1, v); }},
      {"speed", "frame speed 0 normal, 1 fast", [] { return Read(CameraGetFrameSpeed); },
       [](int32_t v) { CameraSetFrameSpeed(v); }},
      {"light", "mains 0 = 50 Hz, 1 = 60 Hz", [] { return Read(CameraGetLightFrquency); },
       [](int32_t v) { CameraSetLightFrquency(v); }},
      {"team", "current parameter team 0..3",
       [] { return Read(CameraGetCurrentParameterTeam); },
       [](int32_t v) { CameraReadParameter(v); }},
  };
  return table;
}

const Parameter* FindParameter(const std::string& name) {
  for (const Parameter& p : Parameters())
    if (name == p.name) return &p;
  return nullptr;
}

// Opens the camera without streaming to the pipeline for the settings
// commands: the team given by --team is loaded first.
bool OpenForSettings(const Options& options) {
  const int result = CameraInit([](uint8_t*) {}, ResolutionOption(options),
                                nullptr, static_cast<int>(options.Number("camera", 1)),
                                nullptr);
  if (result != 1) {
    std::fprintf(stderr, "vkcam: no camera could be opened (%d)\n", result);
    return false;
  }
  if (options.Has("team")) CameraReadParameter(static_cast<int>(options.Number("team", 0)));
  return true;
}

}  // namespace

int Info(const Options& options) {
  if (!OpenForSettings(options)) return 1;
  int32_t width = 0, height = 0, row_time = 0;
  uint16_t max_exposure = 0, year = 0;
  uint8_t month = 0, day = 0;
  char serial[33] = {};
  CameraGetImageSize(&width, &height);
  CameraGetRowTime(&row_time);
  CameraGetMaxExposureTime(&max_exposure);
  CameraReadSN(serial, 32);
  std::printf("image        %d x %d (resolution %d)\n", width, height,
              ResolutionOption(options));
  std::printf("row time     %d us, AE exposure limit %u rows\n", row_time, max_exposure);
  std::printf("serial       \"%s\"\n", serial);
  if (CameraReadBN(&year, &month, &day) == 1)
    std::printf("lot date     %04u-%02u-%02u\n", year, month, day);
  else
    std::printf("lot date     not written\n");
  for (const Parameter& p : Parameters())
    std::printf("%-12s %-6d %s\n", p.name, p.get(), p.meaning);
  CameraUnInit();
  return 0;
}

// Writes the serial number given and today's lot date into the camera's
// memory, then reads both back: 0 only when they read back as written.
int WriteIdentity(const Options& options) {
  const std::string serial = options.words().empty() ? "" : options.words()[0];
  if (options.words().size() != 1 || serial.empty() || serial.size() > 32) {
    std::fprintf(stderr, "usage: vkcam identity SERIAL (1 to 32 characters)\n");
    return 2;
  }
  if (!OpenForSettings(options)) return 1;
  const int32_t count = static_cast<int32_t>(serial.size());
  const bool written = CameraWriteSN(serial.c_str(), count) == 1 &&
                       CameraWriteLotDate() == 1;
  char back[33] = {};
  uint16_t year = 0;
  uint8_t month = 0, day = 0;
  const bool read = CameraReadSN(back, count) == 1 &&
                    CameraReadBN(&year, &month, &day) == 1;
  CameraUnInit();
  if (!written || !read || serial != back) {
    std::fprintf(stderr, "vkcam: the identity did not read back as written\n");
    return 1;
  }
  std::printf("serial \"%s\", lot date %04u-%02u-%02u written\n", back, year,
              month, day);
  return 0;
}

int Get(const Options& options) {
  if (!OpenForSettings(options)) return 1;
  int status = 0;
  for (const Parameter& p : Parameters()) {
    if (!options.words().empty() && options.words()[0] != p.name) continue;
    std::printf("%s %d\n", p.name, p.get());
  }
  if (!options.words().empty() && !FindParameter(options.words()[0])) {
    std::fprintf(stderr, "vkcam: no parameter \"%s\"\n", options.words()[0].c_str());
    status = 2;
  }
  CameraUnInit();
  return status;
}

int Set(const Options& options) {
  if (options.words().size() != 2) {
    std::fprintf(stderr, "usage: vkcam set NAME VALUE [--team T]\n");
    return 2;
  }
  const Parameter* p = FindParameter(options.words()[0]);
  if (!p) {
    std::fprintf(stderr, "vkcam: no parameter \"%s\"\n", options.words()[0].c_str());
    return 2;
  }
  if (!OpenForSettings(options)) return 1;
  p->set(std::stoi(options.words()[1]));
  std::printf("%s %d\n", p->name, p->get());
  CameraUnInit();  // saves the current team
  return 0;
}

int Stream(const Options& options) {
  Session session(options);
  if (!session.ok()) return 1;
  const double seconds = options.Number("seconds", options.Has("frames") ? 1e9 : 5);
  const auto frames = static_cast<uint64_t>(options.Number("frames", 1e12));
  const double bytes_per_frame = double(session.width()) * session.height();
  const auto start = Clock::now();
  auto last_print = start;
  while (session.frames() < frames && !session.lost()) {
    const auto now = Clock::now();
    const double elapsed = std::chrono::duration<double>(now - start).count();
    if (elapsed >= seconds) break;
    if (now - last_print > std::chrono::milliseconds(500)) {
      last_print = now;
      float fps = 0;
      CameraGetFPS(&fps);
      std::printf("\r%6llu frames  %5.1f frames/s  %6.1f MB/s  bad %llu  %s   ",
                  static_cast<unsigned long long>(session.frames()), fps,
                  fps * bytes_per_frame / 1e6,
                  static_cast<unsigned long long>(session.bad_frames()),
                  session.ControlState().c_str());
      std::fflush(stdout);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const double rate = session.frames() / elapsed;
  std::printf("\n%llu frames of %d x %d in %.2f s: %.1f frames/s, %.1f MB/s, "
              "%llu bad frames%s\n%s\n",
              static_cast<unsigned long long>(session.frames()), session.width(),
              session.height(), elapsed, rate, rate * bytes_per_frame / 1e6,
              static_cast<unsigned long long>(session.bad_frames()),
              session.lost() ? ", camera lost" : "", session.ControlState().c_str());
  return session.lost() ? 1 : 0;
}

// Format bits from "raw,jpg,bmp,png" (or "all").
uint8_t FormatBits(const std::string& list) {
  if (list == "all") return CAMERA_FILE_RAW | CAMERA_FILE_JPEG | CAMERA_FILE_BMP | CAMERA_FILE_PNG;
  uint8_t bits = 0;
  if (list.find("raw") != std::string::npos) bits |= CAMERA_FILE_RAW;
  if (list.find("jpg") != std::string::npos) bits |= CAMERA_FILE_JPEG;
  if (list.find("bmp") != std::string::npos) bits |= CAMERA_FILE_BMP;
  if (list.find("png") != std::string::npos) bits |= CAMERA_FILE_PNG;
  return bits;
}

int Snap(const Options& options) {
  Session session(options);
  if (!session.ok()) return 1;
  const auto settle = static_cast<uint64_t>(options.Number("settle", 10));
  if (!session.WaitForFrames(settle)) {
    std::fprintf(stderr, "vkcam: the camera sent no frames\n");
    return 1;
  }
  const std::string base = options.Text("out", "snap");
  const std::string formats = options.Text("formats", "all");
  const uint8_t bits = FormatBits(formats);
  const int result = CameraCaptureFile(base.c_str(), bits,
                                       static_cast<uint8_t>(options.Number("quality", 90)),
                                       static_cast<uint8_t>(ResolutionOption(options)));
  if (result != 1) {
    std::fprintf(stderr, "vkcam: the still was not written (%d)\n", result);
    return 1;
  }
  std::printf("%s.{%s}  %d x %d after %llu frames; %s\n", base.c_str(),
              formats == "all" ? "raw,jpg,bmp,png" : formats.c_str(), session.width(),
              session.height(), static_cast<unsigned long long>(settle),
              session.ControlState().c_str());
  return 0;
}

int Codecs() {
  for (const sdk::Codec& codec : sdk::InstalledCodecs()) {
    char fourcc[5] = {};
    for (int i = 0; i < 4; ++i) fourcc[i] = static_cast<char>(codec.handler >> (8 * i));
    std::printf("%s  %s\n", fourcc, codec.description.c_str());
  }
  return 0;
}

int Record(const Options& options) {
  Session session(options);
  if (!session.ok()) return 1;
  session.WaitForFrames(static_cast<uint64_t>(options.Number("settle", 10)));
  const std::string path = options.Text("out", "record.avi");
  SetVideoFilePathName(path.c_str());
  SetCodec(options.Text("codec", "Xvid MPEG-4 Codec").c_str());
  const double seconds = options.Number("seconds", 3);
  const uint64_t first = session.frames();
  if (RecordAviStart() != 1) {
    std::fprintf(stderr, "vkcam: the recording did not start\n");
    return 1;
  }
  const auto start = Clock::now();
  while (std::chrono::duration<double>(Clock::now() - start).count() < seconds) {
    std::printf("\rrecording %s: %llu frames  ", path.c_str(),
                static_cast<unsigned long long>(session.frames() - first));
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  float fps = 0;
  CameraGetFPS(&fps);
  if (RecordAviStop() != 1) {
    std::fprintf(stderr, "\nvkcam: the recording ended early\n");
    return 1;
  }
  // What the file holds, as a player reads it.
  StoredVideo stored;
  if (!ReadStoredVideo(path, &stored) || stored.scale == 0) {
    std::fprintf(stderr, "\nvkcam: %s has no readable video stream\n",
                 path.c_str());
    return 1;
  }
  std::printf(
      "\r%s: %llu frames at %.1f frames/s; stored %u frames at %g frames/s\n",
      path.c_str(), static_cast<unsigned long long>(session.frames() - first),
      fps, stored.frames, static_cast<double>(stored.rate) / stored.scale);
  return 0;
}

}  // namespace vk::tools
