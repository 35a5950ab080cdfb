#include "gelmora/Service/Speed/EntranceServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/rand.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <mutex>

#include "Galvent/Tunnel/Base/Q5Protocol.h"
#include "gelmora/Service/Speed/Timing.h"
#include "gelmora/Service/Tools/LOG.h"

namespace {

std::mutex& randomMutex() {
  static std::mutex m;
  return m;
}
std::function<std::uint32_t()>& randomSource() {
  static std::function<std::uint32_t()> s;
  return s;
}

EntranceServer::PortProber& portProber() {
  static EntranceServer::PortProber p;
  return p;
}

EntranceServer::PortProber currentPortProber() {
  std::lock_guard lock(randomMutex());
  return portProber();
}

std::uint32_t draw() {
  std::function<std::uint32_t()> source;
  {
    std::lock_guard lock(randomMutex());
    source = randomSource();
  }
  if (source) return source();
  std::uint32_t v = 0;
  if (RAND_bytes(reinterpret_cast<unsigned char*>(&v), sizeof v) != 1) return 0;
  return v;
}

class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  int fd() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

void EntranceServer::setRandomSource(std::function<std::uint32_t()> source) {
  std::lock_guard lock(randomMutex());
  randomSource() = std::move(source);
}

void EntranceServer::setPortProber(PortProber prober) {
  std::lock_guard lock(randomMutex());
  portProber() = std::move(prober);
}

std::vector<std::uint8_t> EntranceServer::portProbeFrame() {
  const std::string body = nlohmann::json{{"token", "0"}}.dump();
  return Q5Protocol::wrapWithType(
      Q5Protocol::kPortProbe,
      std::span(reinterpret_cast<const std::uint8_t*>(body.data()), body.size()));
}

bool EntranceServer::isPortProbeReply(std::span<const std::uint8_t> datagram) {
  if (datagram.size() < Q5Protocol::kHeaderSize) return false;
  return Q5Protocol::loadU32(datagram.data()) == datagram.size() &&
         Q5Protocol::loadU32(datagram.data() + 4) == Q5Protocol::kPortProbeAnswer;
}

std::uint16_t EntranceServer::portValue(const nlohmann::json& v) {
  std::int64_t n = 0;
  if (v.is_number_integer()) {
    n = v.get<std::int64_t>();
  } else if (v.is_number_unsigned()) {
    auto u = v.get<std::uint64_t>();
    if (u > 65535) return 0;
    n = static_cast<std::int64_t>(u);
  } else if (v.is_string()) {
    const auto& s = v.get_ref<const std::string&>();
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size()) return 0;
  } else {
    return 0;
  }
  return n >= 1 && n <= 65535 ? static_cast<std::uint16_t>(n) : 0;
}

std::uint16_t EntranceServer::SelectEntrancePort() {
  delay_ = kNoDelay;
  std::vector<nlohmann::json> work;
  if (portArray_.is_array()) work.assign(portArray_.begin(), portArray_.end());
  const auto timeout = Timing::current().portProbe;
  const auto frame = portProbeFrame();
  const PortProber prober = currentPortProber();
  while (!work.empty()) {
    const std::size_t index = draw() % work.size();
    const nlohmann::json element = work[index];
    work.erase(work.begin() + static_cast<std::ptrdiff_t>(index));
    const std::uint16_t candidate = portValue(element);
    if (candidate == 0) {
      MLOG().INFO("入口端口无效，跳过 IP=" + ip_ + " Port=" + element.dump(), false);
      continue;
    }
    if (prober) {
      const auto ms = prober(ip_, candidate);
      if (ms && *ms >= 0 && *ms < delay_) return take(candidate, *ms);
      continue;
    }
    Socket sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (sock.fd() < 0) {
      MLOG().ERROR("端口选择失败，socket初始化失败");
      return 0;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(candidate);
    if (::inet_pton(AF_INET, ip_.c_str(), &addr.sin_addr) != 1 ||
        ::connect(sock.fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      MLOG().ERROR("端口选择失败，socket连接失败");
      continue;
    }
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    if (::setsockopt(sock.fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
      MLOG().ERROR("端口选择失败，socket设置超时时间失败");
      continue;
    }
    const auto t0 = std::chrono::steady_clock::now();
    (void)::send(sock.fd(), frame.data(), frame.size(), 0);
    (void)::send(sock.fd(), frame.data(), frame.size(), 0);
    std::uint8_t buffer[1024];
    ssize_t n = ::recv(sock.fd(), buffer, sizeof buffer, 0);
    if (n < 0 || !isPortProbeReply(std::span(buffer, static_cast<std::size_t>(n)))) continue;
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - t0);
    const auto ms = static_cast<std::int32_t>(std::min<std::int64_t>(elapsed.count(), kNoDelay));
    if (ms < delay_) return take(candidate, ms);
  }
  return 0;
}

std::uint16_t EntranceServer::take(std::uint16_t port, std::int32_t delay) {
  delay_ = delay;
  port_ = port;
  MLOG().INFO("入口探测成功 IP=" + ip_ + " Port=" + std::to_string(port) +
                  " Delay=" + std::to_string(delay),
              false);
  return port;
}
