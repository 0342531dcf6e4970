// The capture engine: a grab thread reading raw frames and a process thread
// handing the newest one to the application's callback, with a three-buffer
// exchange between them that moves pointers, never pixels.
#pragma once

#include <cstdint>

namespace vk::sdk {

// Under the exchange lock: with `fresh` set, or when the latest buffer holds
// a frame not yet taken, swaps *slot with the latest buffer (true); then the
// fresh flag becomes `fresh`.
bool ExchangeFrame(uint8_t** slot, int32_t fresh);

// 1 started; 0 already running.
int StartCapture();
// 1 stopped; 0 already stopped. Returns once both workers have ended, also
// when the camera stopped sending or was unplugged.
int StopCapture();
// The workers alone, whatever the state: started unconditionally, stopped
// without ending a recording.
void StartWorkers();
void StopWorkers();
// Releases the camera object and the frame buffers; stops a running capture
// first so that no worker touches them afterwards.
void Teardown();

void GrabThread();
void ProcessThread();

}  // namespace vk::sdk
