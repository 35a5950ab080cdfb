#pragma once
// Stand-in entrance relay: many UDP address:port pairs, each answering from the pair it was asked
// on. 100 -> header-only 101, 500 -> 501 with the same text, 300 -> 301 with configured figures,
// 400 -> the inner UDP payload sent on to its destination, answers back as 401 frames.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace standin::relay {

struct Switches {
  bool silent = false;                 // answer nothing
  bool silentHeartbeat = false;        // answer no 500 whose text starts with "__"
  std::chrono::milliseconds delay{0};  // answer late
  bool garbage = false;                // answer bytes that are no frame
  bool wrongType = false;              // answer with an unexpected type
  bool wrongLength = false;            // answer with a length field one more than the datagram
  bool detectNotObject = false;        // 301 body is a JSON array
  bool detectZeroTotal = false;        // 301 with "total_count" 0
  bool ipOverclaim = false;            // 401 whose IP header claims more than its body
  int copies = 1;                      // send each answer this many times (0 behaves as 1)
  // 301 body sent exactly as given, before any figures (see also setDetectBody).
  std::optional<std::string> detectBody;
};

struct DetectFigures {
  int64_t delay = 1000;  // microseconds
  int64_t replyCount = 10;
  int64_t totalCount = 10;
};

// The 33-byte header of a type-400 frame as it arrived.
struct IPPacketHeader {
  uint32_t exit = 0;
  uint16_t rx = 0;
  uint16_t tx = 0;
  uint32_t flowId = 0;
  uint8_t level = 0;
  std::string nat;         // the text up to the first NUL (at most 20 bytes)
  std::string natAddress;  // dotted address it names (Base64 decoded), empty when it names none
};

// One frame seen or sent by the relay. Inner IPv4 packets of 400/401 are summarised.
struct Record {
  bool incoming = false;
  std::string local;  // "ip:port" of the relay's pair
  std::string peer;   // "ip:port" of the client
  uint32_t type = 0;  // 0 when the datagram was under 8 bytes
  uint32_t lengthField = 0;
  size_t size = 0;
  std::vector<uint8_t> body;
  std::string note;  // what the relay made of it ("bad header", "udp forwarded", ...)
  // When it was seen or sent: milliseconds of the monotonic clock (CLOCK_MONOTONIC), which every
  // process of the machine shares.
  int64_t timeMs = 0;
  std::optional<IPPacketHeader> header;  // type-400 frames of at least 8 + 33 bytes
  std::string inner;  // the inner IPv4 packet of 400/401 in one line, when it is sound
};

class Relay {
 public:
  Relay();
  ~Relay();
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  // Serves ip:port (0 picks a free port); gives the bound port, or 0 when binding failed.
  uint16_t addEndpoint(const std::string& ip, uint16_t port = 0);
  void setSwitches(const std::string& ip, uint16_t port, const Switches& s);
  // The same while it serves, left in the records as a "switch NAMES" note on that pair; false
  // when the pair is not served.
  bool changeSwitches(const std::string& ip, uint16_t port, const Switches& s,
                      const std::string& names);
  // Figures of 301 answers for requests to `ip` naming `natIP` ("*" for any NAT address).
  void setDetectFigures(const std::string& ip, const std::string& natIP, DetectFigures f);
  // The same for one port of `ip`; these win over the figures of the whole address.
  void setDetectFigures(const std::string& ip, uint16_t port, const std::string& natIP,
                        DetectFigures f);
  // 301 bodies sent exactly as given, so tests can send huge, fractional or wrongly typed
  // figures, or no JSON at all. Replaces the figures of the same address, port and NAT text.
  void setDetectBody(const std::string& ip, const std::string& natIP, std::string body);
  void setDetectBody(const std::string& ip, uint16_t port, const std::string& natIP,
                     std::string body);
  // Splits 401 answers so that each inner packet fits `mtu` bytes (0: never split).
  void setFragmentMTU(size_t mtu);
  // Also writes every record as one JSON line to this file.
  bool setRecordFile(const std::string& path);
  // Whether records are kept for records() and waitFor (the default). Off, a frame costs no
  // record unless a record file is set, so the relay keeps up with bulk traffic.
  void setKeepRecords(bool keep);
  // TUN mode, for what the relay cannot carry on sockets: inner packets other than UDP are
  // written to a TUN device `name`, created with `subnet` ("192.0.2.1/24": its address and
  // mask). Each client's inner source address is replaced by an address of its own from the
  // subnet, so that whatever the kernel routes back into the device goes to that client, with
  // the original address restored, as 401 frames from the pair it last used. UDP keeps its
  // sockets. The namespace must forward IPv4 and route the subnet's answers here. ICMP errors
  // keep the translated address in the header they quote. False, with `error`, when the
  // device cannot be made or TUN mode is already on.
  bool enableTun(const std::string& name, const std::string& subnet, std::string& error);

  std::vector<Record> records() const;
  void clearRecords();
  // Waits (real time, a hang guard) until `done(records)` holds.
  bool waitFor(const std::function<bool(const std::vector<Record>&)>& done,
               std::chrono::milliseconds timeout) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The JSON line of a record.
std::string recordJSON(const Record& r);

// The dotted address a NAT text names: dotted itself, or the Base64 of a dotted text.
std::optional<std::string> natAddressOf(const std::string& natText);

// The packet header at the start of a type-400 body; nothing when the body is shorter.
std::optional<IPPacketHeader> ipPacketHeaderOf(std::span<const uint8_t> body);

}  // namespace standin::relay
