// The simulated machine's waits (the driver's retry delays, the host's
// Sleep) a hundredth as long, unless the caller says otherwise; set before
// main, before the machine boots. The order of events stays the same.
#include <cstdlib>

namespace {

const bool kFastClock = [] {
  setenv("VKCAM_SLEEP_SCALE", "0.01", 0);
  return true;
}();

}  // namespace
