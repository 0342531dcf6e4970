// The commands of the vkcam tool; each returns the process exit code.
#pragma once

namespace vk::tools {

class Options;

int Devices();
int DevicesRegistry();
int Ioctl(int argc, char** argv);
int Token();
int Info(const Options& options);
// Writes a serial number and today's lot date, and reads them back.
int WriteIdentity(const Options& options);
int Snap(const Options& options);
int Stream(const Options& options);
int Preview(const Options& options);
int Set(const Options& options);
int Record(const Options& options);
int Codecs();
int Twain(const Options& options);
int Get(const Options& options);

}  // namespace vk::tools
