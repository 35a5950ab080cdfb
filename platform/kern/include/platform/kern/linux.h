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

// Records sent by this thread between these two calls are held and written together at the
// end, each still one message, in order (at most 64 are held: more are written as they come).
// Calls nest; only the outermost end writes.
void record_batch_begin();
void record_batch_end();
// For a thread that waits for its next batch: the milliseconds its held records may still wait
// for company (-1: none held). From its first call on, the thread's batches linger up to 2 ms
// past their end, so that a run of single packets shares one write; with `flush`, the held
// records are written now (-1).
int record_batch_wait(bool flush);

}  // namespace platform::kern::linux_backend
