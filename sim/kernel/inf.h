// Provisions the simulated kernel registry from a driver INF file, as
// Windows' setup does at installation: every line of every AddReg section
// (HKLM only), with %strings% from the [Strings] section.
#pragma once

#include <string>

#include "sim/kernel/sim_kernel.h"

namespace vk::sim {

// False, with *error naming the line, on a malformed AddReg line.
bool ProvisionFromInf(SimKernel& kernel, const std::string& inf_text,
                      std::string* error);

// The driver's own INF, built into the simulation.
const char* DriverInf();

}  // namespace vk::sim
