// Settings of the Linux back end, made by the daemon before the filter starts.
#pragma once

#include <sys/types.h>

#include <string>

namespace platform::kern::linux_backend {

struct ControlConfig {
  std::string run_dir;  // the control socket is <run_dir>/<control name>.sock
  uid_t allow_uid;      // besides root, the one user that may connect
};
void configure_control(const ControlConfig& config);

}  // namespace platform::kern::linux_backend
