#include "Mazzle/MZProxyServer.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "Mazzle/MZDomainRecorder.h"
#include "Mazzle/MZHelper.h"
#include "Mazzle/MZRuleManager.h"
#include "Mazzle/MZTCPStack.h"

namespace {

bool sendAll(int fd, const std::vector<uint8_t>& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

MZProxyServer::MZProxyServer(std::weak_ptr<MZTCPStack> stack) : stack_(std::move(stack)) {}

MZProxyServer::~MZProxyServer() { stop(); }

void MZProxyServer::setStack(std::weak_ptr<MZTCPStack> stack) {
  std::lock_guard lock(mutex_);
  stack_ = std::move(stack);
}

size_t MZProxyServer::activeConnections() const { return serving_.load(); }

int MZProxyServer::start(const char* address) {
  if (running_) return 0;
  // Not marked: the listener's answers to the fake sources must route into the tunnel.
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -errno;
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  // The tunnel's address comes with its settings, which may be applied after this.
  ::setsockopt(fd, IPPROTO_IP, IP_FREEBIND, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  if (::inet_pton(AF_INET, address, &addr.sin_addr) != 1) {
    ::close(fd);
    return -EINVAL;
  }
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 128) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    int err = errno;
    ::close(fd);
    return -err;
  }
  listenFd_ = fd;
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  port_ = ntohs(addr.sin_port);
  if (auto stack = stack_.lock()) stack->setListenPort(port_);
  running_ = true;
  acceptThread_ = std::thread([this] { acceptLoop(); });
  return 0;
}

void MZProxyServer::stop() {
  if (!running_.exchange(false)) return;
  uint64_t one = 1;
  (void)::write(wakeFd_, &one, sizeof one);
  if (acceptThread_.joinable()) acceptThread_.join();
  ::close(listenFd_);
  ::close(wakeFd_);
  listenFd_ = wakeFd_ = -1;
  {
    // Ends every relay: their polls wake on the shut-down sockets.
    std::lock_guard lock(mutex_);
    for (int fd : clients_) ::shutdown(fd, SHUT_RDWR);
  }
  if (auto stack = stack_.lock()) stack->setListenPort(0);
  port_ = 0;
}

void MZProxyServer::refuse(int client, bool& logged, const char* why) {
  ::close(client);
  // Once per run: a flood of refusals must not flood the log.
  if (!logged) std::fprintf(stderr, "W proxy server: %s (logged once)\n", why);
  logged = true;
}

void MZProxyServer::acceptLoop() {
  bool loggedStranger = false, loggedFull = false;
  while (running_) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents) break;
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int client = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (client < 0) continue;
    std::shared_ptr<MZTCPStack> stack;
    {
      std::lock_guard lock(mutex_);
      stack = stack_.lock();
    }
    // Checked here, before a thread exists for it: only a flow of our own table is served.
    auto flow = stack && peer.sin_family == AF_INET
                    ? stack->acceptFlow(ntohl(peer.sin_addr.s_addr), ntohs(peer.sin_port))
                    : std::nullopt;
    if (!flow) {
      refuse(client, loggedStranger, "refused a connection that is not a tunnel flow");
      continue;
    }
    if (serving_.load() >= kMaxRelays) {
      stack->relayEnded(*flow);
      refuse(client, loggedFull, "too many relays; refused a connection");
      continue;
    }
    {
      std::lock_guard lock(mutex_);
      clients_.insert(client);
    }
    ++serving_;
    // Relays hold the server alive until they end.
    std::thread([self = shared_from_this(), client, flow = *flow, stack = std::move(stack)] {
      self->serve(client, flow, stack);
    }).detach();
  }
}

void MZProxyServer::serve(int client, MZTCPStack::Flow flow, std::shared_ptr<MZTCPStack> stack) {
  auto finish = [&](int other) {
    {
      std::lock_guard lock(mutex_);
      clients_.erase(client);
      if (other >= 0) clients_.erase(other);
    }
    ::close(client);
    if (other >= 0) ::close(other);
    // The flow stays in the table exactly as long as this relay.
    stack->relayEnded(flow);
    --serving_;
  };
  MZConnectSession session;
  session.sourceIP = flow.sourceIP;
  session.sourcePort = flow.sourcePort;
  session.destinationIP = flow.destinationIP;
  session.destinationPort = flow.destinationPort;
  session.domainHost = MZDomainRecorder::currentRecorder()->domainFromIP(
      MZHelper::ipv4LiteralFromAddr(flow.destinationIP));
  auto factory = MZRuleManager::currentManager()->matchSession(session);
  std::unique_ptr<MZAdapter> adapter = factory ? factory->getAdapterForSession(session) : nullptr;
  std::string error;
  int remote = adapter ? adapter->open(session, error) : -EINVAL;
  if (remote < 0) {
    finish(-1);
    return;
  }
  {
    std::lock_guard lock(mutex_);
    clients_.insert(remote);
  }
  bool ok = adapter->pendingIncoming().empty() || sendAll(client, adapter->pendingIncoming());
  // Large reads keep the number of system calls per megabyte low on bulk transfers.
  std::vector<uint8_t> buffer(262144);
  bool clientOpen = true, remoteOpen = true;
  while (ok && (clientOpen || remoteOpen)) {
    pollfd fds[2] = {{client, static_cast<short>(clientOpen ? POLLIN : 0), 0},
                     {remote, static_cast<short>(remoteOpen ? POLLIN : 0), 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      ssize_t n = ::recv(client, buffer.data(), buffer.size(), 0);
      if (n > 0) {
        ok = sendAll(remote, adapter->encodeOutgoing(std::span(buffer.data(), size_t(n))));
      } else if (n == 0 || errno != EINTR) {
        clientOpen = false;
        ::shutdown(remote, SHUT_WR);
        if (n < 0) break;
      }
    }
    if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
      ssize_t n = ::recv(remote, buffer.data(), buffer.size(), 0);
      if (n > 0) {
        ok = ok && sendAll(client, adapter->decodeIncoming(std::span(buffer.data(), size_t(n))));
      } else if (n == 0 || errno != EINTR) {
        remoteOpen = false;
        ::shutdown(client, SHUT_WR);
        if (n < 0) break;
      }
    }
    if (fds[0].revents & POLLNVAL || fds[1].revents & POLLNVAL) break;
  }
  finish(remote);
}
