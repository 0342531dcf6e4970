// AVI recording of the images passing through CameraISP.
#pragma once

namespace vk::sdk {

// Ends a running recording and finalises its file; 0 when none runs.
int StopRecording();

}  // namespace vk::sdk
