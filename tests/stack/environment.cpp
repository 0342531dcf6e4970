// The stack tests' machine: one camera, unthrottled, and a registry store of
// this process's own, set before main, before the machine boots.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string& RegistryFile() {
  static std::string file;
  return file;
}

const bool kEnvironment = [] {
  setenv("VKCAM_SIM_THROTTLE", "0", 0);
  setenv("VKCAM_SIM_CAMERAS", "1", 0);
  const char* tmp = std::getenv("TMPDIR");
  RegistryFile() = std::string(tmp && *tmp ? tmp : "/tmp") + "/vkcam_stack_registry." +
                   std::to_string(::getpid());
  setenv("VKCAM_REGISTRY", RegistryFile().c_str(), 1);
  std::atexit([] {
    std::remove(RegistryFile().c_str());
    std::remove((RegistryFile() + ".lock").c_str());
  });
  return true;
}();

}  // namespace
