// The pieces of the Linux back end that the daemon and the tests reach directly.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace platform::kern::linux_backend {

// Marks of the filter's own UDP sockets: the output chain lets them pass untouched.
inline constexpr uint32_t kServerSocketMark = 0x35500000;
inline constexpr uint32_t kServerSocketMarkMask = 0xffff0000;
// A flow of a socket the filters declined: set on its first packet by the output queue's verdict,
// kept on its connection, and the output chain lets the rest of it pass without queueing.
inline constexpr uint32_t kLeftOutMark = 0x00800000;
inline constexpr uint16_t kOutputQueue = 3550;
inline constexpr uint16_t kInputQueue = 3551;
// The device answers are injected through; its packets skip connection tracking.
inline constexpr char kInjectDevice[] = "tamsel0";

// iptables-restore input that creates our chains: the output and input chains without their
// jumps, which follow the master switch (chains_set_jumps), and the accepting chain with its
// jump.
std::string chains_install_text();
// iptables-restore input that adds the output and input jumps.
std::string chains_jumps_text();
// iptables-restore input that removes whatever of our chains and jumps `save_output` (the text of
// iptables-save for the mangle and raw tables) shows; empty when there is nothing.
std::string chains_removal_text(const std::string& save_output);
// Flushes stale chains, then loads ours. 0 or an errno; a failing tool gives EIO.
int chains_install();
// Removes ours (and stale ones); 0 when none is left.
int chains_remove();
// Adds (once) or removes the jumps into the output and input chains: nothing is queued while the
// master switch is off. 0 or an errno.
int chains_set_jumps(bool on);

// The daemon's run folder: while the filter runs it notes there what it changed in the system
// (the reverse-path setting), so that a start after a crash still puts it back.
void set_run_dir(const std::string& dir);
// Puts back what a killed filter noted there it had changed; false when that fails.
bool restore_noted_settings();

// Joins the thread of the kernel UDP sockets once none is open (EBUSY while some are): the
// host's last step after the filter stopped.
int sockets_shutdown();

// Sockets are seen first when they send, not when they are made: the host says which process
// names the filter lists, so that owners are looked for among those processes only (all of
// them when the list holds "*"). Without a source every process is looked at.
void set_listed_names_source(std::vector<std::string> (*source)());
// Whether the filters take sockets of a protocol (IPPROTO_TCP, _UDP, _ICMP) now: with its switch
// off a new socket is declined without looking for its owner. Without a source: always.
void set_protocol_switch_source(bool (*source)(uint8_t protocol));
// The user whose sockets the filters may select (the client's); root: every user's. A socket of
// any other user is declined before its owner is looked for. Default: the daemon's own user.
void set_owner_uid(uid_t uid);
// Marks every TCP, UDP and/or ICMP (ping and raw) socket open now as declined, as if made while a
// switch was off: called when a switch turns on, before it does.
void decline_existing_sockets(bool tcp, bool udp, bool icmp = false);
// Controls registered from now on listen under a private name until publish_controls(): the
// host calls that once its start is complete, so that a client never finds a half-started
// filter. 0 or the errno of the first control that could not be published.
void defer_control_publishing();
int publish_controls();

// The queue and socket threads hold the records they send while they handle a batch of packets
// and write them after it, so that a record never delays a packet: the control that sends the
// records gives the calls (linux.h's record_batch_begin/_end/_wait). Without them, records go at
// once. With the wait, records linger a moment past the batch for the next ones to join them:
// the thread bounds its sleep by record_batch_wait_ms().
using RecordBatchHook = void (*)();
// The time the held records may still wait, in ms (-1: none); with `true`, written now.
using RecordBatchWait = int (*)(bool flush);
void set_record_batch_hooks(RecordBatchHook begin, RecordBatchHook end,
                            RecordBatchWait wait = nullptr);
// A packet thread's wait before its next round: what record_batch_wait gives, -1 without it.
int record_batch_wait_ms();
// Writes what this thread still holds (at its end).
void record_batch_flush();
// Holds this thread's records from its making to its end.
class RecordBatchScope {
 public:
  RecordBatchScope();
  ~RecordBatchScope();
  RecordBatchScope(const RecordBatchScope&) = delete;
  RecordBatchScope& operator=(const RecordBatchScope&) = delete;

 private:
  RecordBatchHook end_;
};

// Called with each control option's number before the filter sets it (control thread).
using OptionHook = void (*)(int option);
void set_option_hook(OptionHook hook);
// Called after a client's session ended and the filter reset (control thread).
using DisconnectHook = void (*)();
void set_disconnect_hook(DisconnectHook hook);

}  // namespace platform::kern::linux_backend
