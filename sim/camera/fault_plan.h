// Faults the simulated camera and USB host can be told to show, for
// reliability tests. Given programmatically or through VKCAM_SIM_FAULTS as a
// comma-separated list (see sim/README.md), e.g. "cut=100000:3,ack=0x00:2".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vk::sim {

struct FaultPlan {
  // Unplug the camera once this many frames have begun (-1: never).
  int64_t unplug_after_frames = -1;
  // Halt the image endpoint once this many frames have begun (-1: never);
  // transfers then fail with a stall until the pipe is reset.
  int64_t stall_after_frames = -1;
  // End frames early, after this many bytes, with a short packet (0: never);
  // every cut_every-th frame (1: every frame).
  uint32_t cut_frame_bytes = 0;
  uint32_t cut_every = 1;
  // Answer sensor and memory requests with this status byte instead of the
  // acknowledge byte 8, for wrong_ack_count requests (0: for all of them).
  std::optional<uint8_t> wrong_ack;
  uint32_t wrong_ack_count = 0;
  // What sensor register 0 reads as (the chip version).
  std::optional<uint16_t> chip_version;
  // Memory writes are acknowledged but not stored.
  bool nvram_refuses_writes = false;
  // The camera answers every request but its image endpoint never sends:
  // reads stay pending, as on a sensor that lost its clock.
  bool silent = false;
};

// Parses the VKCAM_SIM_FAULTS form. Returns nullopt and sets *error on an
// unknown or malformed entry, so a mistyped plan never runs silently.
std::optional<FaultPlan> ParseFaultPlan(std::string_view text,
                                        std::string* error);

}  // namespace vk::sim
