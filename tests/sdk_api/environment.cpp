// The simulated machine of these tests, unless the caller says otherwise:
// one camera, unthrottled, and every Sleep a tenth as long so that hundreds
// of camera openings stay quick. Set before main, before the machine boots.
#include <cstdlib>

namespace {

const bool kEnvironmentSet = [] {
  setenv("VKCAM_SIM_CAMERAS", "1", 0);
  setenv("VKCAM_SIM_THROTTLE", "0", 0);
  setenv("VKCAM_SLEEP_SCALE", "0.1", 0);
  return true;
}();

}  // namespace
