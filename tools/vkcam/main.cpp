// vkcam: the camera from the command line.
//   vkcam devices [--registry]           cameras present: descriptors, driver
//                                        version, serial number, lot date;
//                                        with what video applications find
//   vkcam ioctl N CODE [HEX] [OUTLEN]    one control code to link N
//   vkcam token                          the access token passed between the
//                                        first two cameras
//   vkcam info                           image size, timing, identity and
//                                        every setting
//   vkcam identity SERIAL                writes the serial number and
//                                        today's lot date, reads them back
//   vkcam snap [--out BASE] [--formats raw,jpg,bmp,png|all] [--quality Q]
//                                        a still after --settle N frames
//   vkcam record [--seconds S] [--codec NAME] [--out FILE.avi]
//                                        an AVI of the live picture
//   vkcam codecs                         the installed video compressors
//   vkcam twain [--source PLV210.ds] [--out BASE] [--manager 2|1]
//                                        the TWAIN data source through a 2.x
//                                        (or 1.x) source manager:
//                                        capabilities, native, memory and
//                                        file transfers, the dialog, each
//                                        image checked against the SDK's
//   vkcam twain --ui                     a session through its dialogs
//   vkcam stream [--seconds S|--frames N]  frames/s, MB/s, bad frames, AE/AWB
//   vkcam preview [--seconds S] [--window WxH]  the live picture
//   vkcam get [NAME] / vkcam set NAME VALUE    settings, saved in the team
// Common options: --camera N (1-based), --resolution 0..3 (2048 x 1536,
// 1024 x 768, 640 x 480, region), --roi X,Y,W,H, --ae on|off, --awb on|off,
// --exposure ROWS, --gain G (0..86), --mode 0..2, --mono, --hflip, --vflip,
// --team T.
#include <cstdio>
#include <string>

#include "tools/vkcam/commands.h"
#include "tools/vkcam/options.h"

int main(int argc, char** argv) {
  using namespace vk::tools;
  const std::string command = argc > 1 ? argv[1] : "";
  const Options options(argc, argv, 2);
  if (command == "devices") {
    const int found = Devices();
    return options.Has("registry") ? DevicesRegistry() : found;
  }
  if (command == "ioctl") return Ioctl(argc, argv);
  if (command == "token") return Token();
  if (command == "info") return Info(options);
  if (command == "identity") return WriteIdentity(options);
  if (command == "snap") return Snap(options);
  if (command == "stream") return Stream(options);
  if (command == "preview") return Preview(options);
  if (command == "get") return Get(options);
  if (command == "record") return Record(options);
  if (command == "codecs") return Codecs();
  if (command == "twain") return Twain(options);
  if (command == "set") return Set(options);
  std::fprintf(stderr,
               "usage: vkcam devices [--registry] | ioctl N CODE [HEX] [OUTLEN] | token |\n"
               "             info | identity SERIAL |\n"
               "             snap [--out BASE] [--settle N] [--formats LIST] [--quality Q] |\n"
               "             record [--seconds S] [--codec NAME] [--out FILE.avi] | codecs |\n"
               "             twain [--source PLV210.ds] [--out BASE] [--manager 2|1] [--ui] |\n"
               "             stream [--seconds S | --frames N] |\n"
               "             preview [--seconds S] [--window WxH] |\n"
               "             get [NAME] | set NAME VALUE\n"
               "       options: --camera N --resolution R --roi X,Y,W,H --ae on|off\n"
               "                --awb on|off --exposure ROWS --gain G --mode M --mono\n"
               "                --hflip --vflip --team T\n");
  return 2;
}
