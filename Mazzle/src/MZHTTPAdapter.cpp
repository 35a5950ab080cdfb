#include "Mazzle/MZHTTPAdapter.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "Mazzle/MZHelper.h"

MZHTTPAdapter::MZHTTPAdapter(std::string serverHost, uint16_t serverPort,
                             std::optional<std::string> auth)
    : serverHost_(std::move(serverHost)), serverPort_(serverPort), auth_(std::move(auth)) {}

std::string MZHTTPAdapter::connectRequest(const MZConnectSession& session) const {
  std::string host = session.domainHost.empty()
                         ? MZHelper::ipv4LiteralFromAddr(session.destinationIP)
                         : session.domainHost;
  std::string target = host + ":" + std::to_string(session.destinationPort);
  std::string request = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n";
  if (auth_) request += "Proxy-Authorization: Basic " + *auth_ + "\r\n";
  return request + "\r\n";
}

bool MZHTTPAdapter::acceptsAnswer(const std::string& header) {
  // "HTTP/1.x 200" followed by a space or the line end.
  auto lineEnd = header.find("\r\n");
  std::string line = header.substr(0, lineEnd);
  if (line.rfind("HTTP/1.", 0) != 0 || line.size() < 12) return false;
  if (line.compare(8, 4, " 200") != 0) return false;
  return line.size() == 12 || line[12] == ' ';
}

int MZHTTPAdapter::open(const MZConnectSession& session, std::string& error) {
  if (!socket_) socket_ = std::make_unique<MZNWTCPSocket>();
  int rc = socket_->connect(serverHost_, serverPort_, kConnectTimeout);
  if (rc != 0) {
    error = "proxy " + serverHost_ + ":" + std::to_string(serverPort_) +
            " unreachable: " + std::strerror(-rc);
    return rc;
  }
  int fd = socket_->fd();
  std::string request = connectRequest(session);
  auto wire =
      encodeData(std::span(reinterpret_cast<const uint8_t*>(request.data()), request.size()));
  size_t sent = 0;
  while (sent < wire.size()) {
    ssize_t n = ::send(fd, wire.data() + sent, wire.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = "proxy connection lost while sending CONNECT";
      return -EPIPE;
    }
    sent += static_cast<size_t>(n);
  }
  std::string header;
  uint8_t buffer[1024];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kConnectTimeout).count())) <= 0) {
      error = "proxy did not answer CONNECT in time";
      return -ETIMEDOUT;
    }
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = "proxy closed the connection during CONNECT";
      return -ECONNRESET;
    }
    auto plain = encodeData(std::span<const uint8_t>(buffer, static_cast<size_t>(n)));
    size_t before = header.size();
    header.append(plain.begin(), plain.end());
    auto end = header.find("\r\n\r\n", before >= 3 ? before - 3 : 0);
    if (end != std::string::npos) {
      pending_.assign(header.begin() + static_cast<long>(end + 4), header.end());
      header.resize(end + 4);
      break;
    }
    if (header.size() > kMaxAnswerHeader) {
      error = "proxy answer header larger than 8 KiB";
      return -EPROTO;
    }
  }
  if (!acceptsAnswer(header)) {
    error = "proxy refused CONNECT: " + header.substr(0, header.find("\r\n"));
    return -ECONNREFUSED;
  }
  return socket_->release();
}

std::unique_ptr<MZAdapter> MZHTTPAdapterFactory::getAdapterForSession(const MZConnectSession&) {
  auto adapter = std::make_unique<MZHTTPAdapter>(serverHost_, serverPort_, std::nullopt);
  adapter->setSocket(std::make_unique<MZNWTCPSocket>());
  return adapter;
}
