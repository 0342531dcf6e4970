// AVI recording of the images passing through CameraISP: the exported
// recording calls, the compressor choice and the record thread.
#pragma once

namespace vk::sdk {

// Ends a running recording and finalises its file; 0 when none runs.
int StopRecording();

}  // namespace vk::sdk
