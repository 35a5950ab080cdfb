// Entrance sockets on loopback: delivery on the packet loop, disconnect, refused addresses.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Mazzle/MZQueueFactory.h"
#include "Mazzle/MZSpeedUDPSocket.h"

namespace {

using namespace std::chrono_literals;

struct Recorder : MZSpeedUDPSocketDelegate {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::string> data;
  std::vector<std::string> from;
  bool onLoop = true;
  void didReceiveData(std::span<const uint8_t> d, const std::string& f,
                      MZSpeedUDPSocket&) override {
    std::lock_guard lock(mutex);
    onLoop = onLoop && MZQueueFactory::onQueue();
    data.emplace_back(d.begin(), d.end());
    from.push_back(f);
    cv.notify_all();
  }
  bool waitFor(size_t n) {
    std::unique_lock lock(mutex);
    return cv.wait_for(lock, 5s, [&] { return data.size() >= n; });
  }
};

// A plain UDP peer on 127.0.0.1 that answers each datagram with the same bytes.
struct Peer {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  uint16_t port = 0;
  Peer() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~Peer() { ::close(fd); }
  // Echoes one datagram; false when none came.
  bool echoOne() {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) return false;
    char buf[2048];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = ::recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return false;
    ::sendto(fd, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), len);
    return true;
  }
};

std::span<const uint8_t> bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST(MZSpeedUDPSocket, DeliversEveryDatagramOnTheLoop) {
  Peer peer;
  auto recorder = std::make_shared<Recorder>();
  auto socket = MZSpeedUDPSocket::initWithHost("127.0.0.1", peer.port, recorder);
  ASSERT_TRUE(socket);
  EXPECT_EQ(socket->port(), peer.port);
  EXPECT_NE(socket->localPort(), 0);
  for (const std::string& text : std::vector<std::string>{"one", std::string(1400, 'x'), ""}) {
    ASSERT_TRUE(socket->writeData(bytes(text)));
    ASSERT_TRUE(peer.echoOne());
  }
  ASSERT_TRUE(recorder->waitFor(3));
  EXPECT_EQ(recorder->data[0], "one");
  EXPECT_EQ(recorder->data[1].size(), 1400u);
  EXPECT_EQ(recorder->data[2], "");
  EXPECT_EQ(recorder->from[0], "127.0.0.1:" + std::to_string(peer.port));
  EXPECT_TRUE(recorder->onLoop);
}

TEST(MZSpeedUDPSocket, DisconnectEndsDeliveryAndSending) {
  Peer peer;
  auto recorder = std::make_shared<Recorder>();
  auto socket = MZSpeedUDPSocket::initWithHost("127.0.0.1", peer.port, recorder);
  ASSERT_TRUE(socket);
  ASSERT_TRUE(socket->writeData(bytes("a")));
  socket->disconnect();
  socket->disconnect();  // idempotent
  EXPECT_FALSE(socket->isConnected());
  EXPECT_FALSE(socket->writeData(bytes("b")));
  peer.echoOne();
  MZQueueFactory::sync([] {});
  MZQueueFactory::sync([] {});
  EXPECT_TRUE(recorder->data.empty());
  // The loop let go of the socket: the last owner here frees it.
  std::weak_ptr<MZSpeedUDPSocket> weak = socket;
  socket.reset();
  MZQueueFactory::sync([] {});
  EXPECT_TRUE(weak.expired());
}

// Frames of one size in a burst go to the kernel as one segmented send: each still arrives as a
// datagram of its own, whole and in order, whatever the sizes around it (a shorter one ends a run,
// a longer one starts the next).
TEST(MZSpeedUDPSocket, BurstOfOneSizeArrivesAsSeparateDatagrams) {
  Peer peer;
  int room = 4 << 20;
  ::setsockopt(peer.fd, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room);
  auto socket =
      MZSpeedUDPSocket::initWithHost("127.0.0.1", peer.port, std::make_shared<Recorder>());
  ASSERT_TRUE(socket);
  std::vector<size_t> sizes;
  for (int i = 0; i < 12; ++i) sizes.push_back(1200);
  sizes.push_back(300);
  for (int i = 0; i < 6; ++i) sizes.push_back(1200);
  sizes.push_back(1400);
  sizes.push_back(1400);
  sizes.push_back(64);
  for (int i = 0; i < 10; ++i) sizes.push_back(1200);
  ASSERT_LE(sizes.size(), MZSpeedUDPSocket::kBurstSize);
  std::vector<std::string> sent;
  MZSpeedUDPSocket::beginBurst();
  for (size_t i = 0; i < sizes.size(); ++i) {
    std::string body(sizes[i] - 4, static_cast<char>('a' + i % 26));
    body.replace(0, std::min<size_t>(body.size(), 4), std::to_string(1000 + i).substr(0, 4));
    sent.push_back("hd:" + std::string(1, static_cast<char>('0' + i % 10)) + body);
    ASSERT_TRUE(socket->writeData(bytes(sent.back().substr(0, 4)), bytes(sent.back().substr(4))));
  }
  MZSpeedUDPSocket::endBurst();
  for (size_t i = 0; i < sent.size(); ++i) {
    pollfd p{peer.fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1) << "datagram " << i << " never arrived";
    char buf[4096];
    ssize_t n = ::recv(peer.fd, buf, sizeof buf, 0);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buf, size_t(n)), sent[i]) << "datagram " << i;
  }
  pollfd p{peer.fd, POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 0), 0) << "more datagrams than frames";
}

// Frames written in a burst leave together at its end, whole and in order, also past one batch;
// the answers, arriving back to back, are all delivered in order.
TEST(MZSpeedUDPSocket, BurstFramesLeaveAtTheEndInOrder) {
  Peer peer;
  auto recorder = std::make_shared<Recorder>();
  auto socket = MZSpeedUDPSocket::initWithHost("127.0.0.1", peer.port, recorder);
  ASSERT_TRUE(socket);
  const std::string head = "head:";
  for (size_t count : {size_t(5), MZSpeedUDPSocket::kBurstSize + 8}) {
    SCOPED_TRACE(count);
    MZSpeedUDPSocket::beginBurst();
    for (size_t i = 0; i < count; ++i)
      ASSERT_TRUE(socket->writeData(bytes(head), bytes("frame-" + std::to_string(i))));
    if (count < MZSpeedUDPSocket::kBurstSize) {
      pollfd p{peer.fd, POLLIN, 0};
      EXPECT_EQ(::poll(&p, 1, 50), 0) << "a frame left before the burst ended";
    }
    MZSpeedUDPSocket::endBurst();
    std::vector<std::string> got;
    for (size_t i = 0; i < count; ++i) {
      pollfd p{peer.fd, POLLIN, 0};
      ASSERT_EQ(::poll(&p, 1, 5000), 1) << "frame " << i << " never arrived";
      char buf[2048];
      ssize_t n = ::recv(peer.fd, buf, sizeof buf, 0);
      ASSERT_GT(n, 0);
      got.emplace_back(buf, size_t(n));
    }
    for (size_t i = 0; i < count; ++i) EXPECT_EQ(got[i], "head:frame-" + std::to_string(i));
  }
  // Outside a burst a write leaves at once.
  ASSERT_TRUE(socket->writeData(bytes(head), bytes("alone")));
  ASSERT_TRUE(peer.echoOne());
  ASSERT_TRUE(recorder->waitFor(1));
  EXPECT_EQ(recorder->data[0], "head:alone");

  // Answers queued on the socket before the loop reads them come through in order.
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(socket->localPort());
  for (int i = 0; i < 40; ++i) {
    std::string text = "answer-" + std::to_string(i);
    ::sendto(peer.fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  ASSERT_TRUE(recorder->waitFor(41));
  for (int i = 0; i < 40; ++i)
    EXPECT_EQ(recorder->data[size_t(i) + 1], "answer-" + std::to_string(i));
}

TEST(MZSpeedUDPSocket, RefusesBadEntrances) {
  auto recorder = std::make_shared<Recorder>();
  for (auto [host, port] : std::vector<std::pair<std::string, uint16_t>>{
           {"", 1}, {"host.example", 1}, {"1.2.3", 1}, {"256.1.1.1", 1}, {"127.0.0.1", 0}}) {
    EXPECT_EQ(MZSpeedUDPSocket::initWithHost(host, port, recorder), nullptr) << host << ":" << port;
  }
}

TEST(MZQueueFactory, SyncRunsOnTheLoopAndInlineFromIt) {
  std::thread::id loop;
  MZQueueFactory::sync([&] { loop = std::this_thread::get_id(); });
  EXPECT_NE(loop, std::this_thread::get_id());
  EXPECT_FALSE(MZQueueFactory::onQueue());
  bool inner = false;
  MZQueueFactory::sync([&] { MZQueueFactory::sync([&] { inner = MZQueueFactory::onQueue(); }); });
  EXPECT_TRUE(inner);
}

}  // namespace
