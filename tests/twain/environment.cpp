// The simulated machine of the TWAIN tests: one camera, unthrottled. Waits
// keep their real length: the settings page's AWB Once waits 2000 × 1 ms
// for the next image, which must be able to arrive meanwhile.
#include <cstdlib>

namespace {

const bool kEnvironmentSet = [] {
  setenv("VKCAM_SIM_CAMERAS", "1", 0);
  setenv("VKCAM_SIM_THROTTLE", "0", 0);
  return true;
}();

}  // namespace
