#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Mazzle/MZRawSocketFactory.h"

namespace {
struct FactoryScope {
  MZRawSocketFactory& f = MZRawSocketFactory::sharedInstance();
  FactoryScope() { f.reset(); }
  ~FactoryScope() { f.reset(); }
};

uint32_t markOf(int fd) {
  unsigned int mark = 0;
  socklen_t len = sizeof(mark);
  EXPECT_EQ(getsockopt(fd, SOL_SOCKET, SO_MARK, &mark, &len), 0);
  return mark;
}
}  // namespace

TEST(MZRawSocketFactory, UnmarkedSocketsOfEachKind) {
  FactoryScope scope;
  for (int family : {AF_INET, AF_INET6}) {
    for (int fd : {scope.f.makeUDPSocket(family), scope.f.makeTCPSocket(family)}) {
      ASSERT_GE(fd, 0);
      EXPECT_EQ(markOf(fd), 0u);
      EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
      close(fd);
    }
  }
  int type = 0;
  socklen_t len = sizeof(type);
  int udp = scope.f.makeUDPSocket(AF_INET);
  getsockopt(udp, SOL_SOCKET, SO_TYPE, &type, &len);
  EXPECT_EQ(type, SOCK_DGRAM);
  close(udp);
}

TEST(MZRawSocketFactory, MarkedSocketsOrNone) {
  FactoryScope scope;
  scope.f.setMark(0x51);
  int fd = scope.f.makeUDPSocket(AF_INET);
  if (geteuid() != 0) {
    // Without CAP_NET_ADMIN the mark is refused and no unmarked socket is handed out.
    EXPECT_EQ(fd, -EPERM);
    return;
  }
  ASSERT_GE(fd, 0);
  EXPECT_EQ(markOf(fd), 0x51u);
  close(fd);
  scope.f.setMark(std::nullopt);
  fd = scope.f.makeTCPSocket(AF_INET);
  EXPECT_EQ(markOf(fd), 0u);
  close(fd);
}

TEST(MZRawSocketFactory, ProviderSetUpAndErrors) {
  FactoryScope scope;
  EXPECT_FALSE(scope.f.isSetUp());
  auto provider = std::make_shared<int>(1);
  scope.f.setTunnelProvider(provider);
  scope.f.setUp();
  EXPECT_TRUE(scope.f.isSetUp());
  EXPECT_EQ(scope.f.tunnelProvider().get(), provider.get());
  EXPECT_EQ(scope.f.makeSocket(12345, SOCK_DGRAM), -EAFNOSUPPORT);
}
