#include "sdk/api/recorder.h"

#include "sdk/api/sdk_state.h"

namespace vk::sdk {

int StopRecording() {
  SdkState& s = Sdk();
  if (s.recording_flag.load() != 0) return 0;
  s.recording_flag = 1;
  return 1;
}

}  // namespace vk::sdk
