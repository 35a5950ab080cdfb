// The pieces of the Linux back end that the daemon and the tests reach directly.
#pragma once

#include <cstdint>
#include <string>

namespace platform::kern::linux_backend {

// Marks of the filter's own UDP sockets: the output chain lets them pass untouched.
inline constexpr uint32_t kServerSocketMark = 0x35500000;
inline constexpr uint32_t kServerSocketMarkMask = 0xffff0000;
inline constexpr uint16_t kOutputQueue = 3550;
inline constexpr uint16_t kInputQueue = 3551;
// The device answers are injected through; its packets skip connection tracking.
inline constexpr char kInjectDevice[] = "tamsel0";

// iptables-restore input that creates both chains and their jumps.
std::string chains_install_text();
// iptables-restore input that removes whatever of our chains and jumps `save_output` (the text of
// iptables-save for the mangle and raw tables) shows; empty when there is nothing.
std::string chains_removal_text(const std::string& save_output);
// Flushes stale chains, then loads ours. 0 or an errno; a failing tool gives EIO.
int chains_install();
// Removes ours (and stale ones); 0 when none is left.
int chains_remove();

}  // namespace platform::kern::linux_backend
