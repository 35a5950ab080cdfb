// The filter's control client against tamseld-sim over the real control socket, and its record
// dispatch against a recording option sink.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "KextSimFixture.h"
#include "gelmora/Service/Speed/KextHelper.h"
#include "gelmora/Service/Tools/LOG.h"

namespace kabi = tamsel::abi;

namespace {

struct ConsoleLines {
  ConsoleLines() {
    LOG::setConsoleSink([this](const std::string& line) {
      std::lock_guard lock(mutex);
      lines.push_back(line);
    });
  }
  ~ConsoleLines() { LOG::setConsoleSink({}); }
  size_t count(const std::string& part) {
    std::lock_guard lock(mutex);
    size_t n = 0;
    for (const auto& l : lines) n += l.find(part) != std::string::npos;
    return n;
  }
  std::mutex mutex;
  std::vector<std::string> lines;
};

struct SentOption {
  int name;
  std::vector<uint8_t> data;
};

std::vector<uint8_t> record(uint32_t type, const void* payload, size_t len) {
  std::vector<uint8_t> r(4 + len);
  std::memcpy(r.data(), &type, 4);
  if (len) std::memcpy(r.data() + 4, payload, len);
  return r;
}

kabi::k2u_req_path pathRequest(uint32_t offset) {
  kabi::k2u_req_path req{};
  req.offset = offset;
  req.level = 1;
  req.ip = htonl(0xC0000263);                       // 192.0.2.99
  std::memset(req.domain, 'd', sizeof req.domain);  // unterminated on purpose
  return req;
}

kabi::k2u_ippacket_desc packetReport(char direction, uint16_t length) {
  kabi::k2u_ippacket_desc d{};
  d.desc.length = length;
  d.direction = direction;
  std::memset(d.domain, 'x', sizeof d.domain);
  return d;
}

void installPath() {
  KextHelper::setHooks({[](uint32_t offset) -> std::optional<KextPathAnswer> {
                          if (offset != 2) return std::nullopt;
                          return KextPathAnswer{"127.0.0.1", 7000, "3-4", "MTkyLjAuMi4xOjk5OTk="};
                        },
                        [] { return 0x00050006u; },
                        {}});
}

TEST(KextRecordDispatch, PathAnswerIsByteExact) {
  installPath();
  std::vector<SentOption> sent;
  KextHelper::OptionSink sink = [&](int name, const void* data, size_t len) {
    auto* p = static_cast<const uint8_t*>(data);
    sent.push_back({name, std::vector<uint8_t>(p, p + len)});
    return 0;
  };
  KextHelper::Totals totals;
  auto req = pathRequest(2);
  auto rec = record(kabi::K2U_REQ_PATH, &req, sizeof req);
  KextHelper::dispatchRecord(rec.data(), rec.size(), totals, sink);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].name, kabi::KCTL_SET_VNI_OFF_ENTRY);
  kabi::vni_off_entry want{};
  want.offset = 2;
  std::strcpy(want.entrance_ip, "127.0.0.1");
  want.port = 7000;
  want.exit = (3u << 16) + 4;
  // The NAT text is cut to keep its field terminated.
  std::memcpy(want.exit_nat, "MTkyLjAuMi4xOjk5OTk=", 20);
  want.stream_limit = 0x00050006u;
  ASSERT_EQ(sent[0].data.size(), sizeof want);
  EXPECT_EQ(std::memcmp(sent[0].data.data(), &want, sizeof want), 0);

  // No path for the offset: everything but the offset stays zero.
  sent.clear();
  req = pathRequest(9);
  rec = record(kabi::K2U_REQ_PATH, &req, sizeof req);
  KextHelper::dispatchRecord(rec.data(), rec.size(), totals, sink);
  ASSERT_EQ(sent.size(), 1u);
  kabi::vni_off_entry empty{};
  empty.offset = 9;
  empty.stream_limit = 0x00050006u;
  EXPECT_EQ(std::memcmp(sent[0].data.data(), &empty, sizeof empty), 0);
  KextHelper::setHooks({});
}

TEST(KextRecordDispatch, TotalsByDirectionAndShortRecordsSkipped) {
  std::vector<std::pair<int64_t, int64_t>> reported;
  KextHelper::setHooks({{}, {}, [&](int64_t up, int64_t down) { reported.push_back({up, down}); }});
  int options = 0;
  KextHelper::OptionSink sink = [&](int, const void*, size_t) { return ++options, 0; };
  KextHelper::Totals totals;
  auto out = packetReport(kabi::K2U_DIR_OUT, 100);
  auto in = packetReport(kabi::K2U_DIR_IN, 40);
  auto other = packetReport(7, 5);  // anything but "out" counts as incoming
  for (auto* d : {&out, &in, &out, &other}) {
    auto rec = record(kabi::K2U_IPPACKET, d, sizeof *d);
    KextHelper::dispatchRecord(rec.data(), rec.size(), totals, sink);
  }
  EXPECT_EQ(totals.up, 200);
  EXPECT_EQ(totals.down, 45);
  ASSERT_EQ(reported.size(), 4u);
  EXPECT_EQ(reported.back(), (std::pair<int64_t, int64_t>{200, 45}));

  // Records too short for their type change nothing and send nothing.
  auto req = pathRequest(2);
  struct {
    const char* what;
    std::vector<uint8_t> rec;
  } shorts[] = {
      {"empty", {}},
      {"three bytes", {2, 0, 0}},
      {"path request of 79", record(kabi::K2U_REQ_PATH, &req, sizeof req - 1)},
      {"packet report of 175", record(kabi::K2U_IPPACKET, &out, sizeof out - 1)},
  };
  for (const auto& c : shorts) {
    // A copy of exactly the record's size so that ASan sees any read past it.
    std::vector<uint8_t> exact(c.rec);
    KextHelper::dispatchRecord(exact.data(), exact.size(), totals, sink);
    EXPECT_EQ(options, 0) << c.what;
  }
  EXPECT_EQ(totals.up, 200);
  EXPECT_EQ(totals.down, 45);
  EXPECT_EQ(reported.size(), 4u);
  KextHelper::setHooks({});
}

TEST(KextRecordDispatch, LogRecordsFirstLineOnly) {
  ConsoleLines console;
  KextHelper::Totals totals;
  KextHelper::OptionSink sink = [](int, const void*, size_t) { return 0; };
  struct {
    std::string text;
    std::string logged;
  } cases[] = {
      {"first\nsecond\n", "KEXT: first"},
      {"no line feed", "KEXT: no line feed"},
      {std::string(1020, 'L'), "KEXT: " + std::string(1020, 'L')},
  };
  for (const auto& c : cases) {
    auto rec = record(kabi::K2U_LOG, c.text.data(), c.text.size());  // unterminated
    KextHelper::dispatchRecord(rec.data(), rec.size(), totals, sink);
    std::lock_guard lock(console.mutex);
    ASSERT_FALSE(console.lines.empty());
    EXPECT_EQ(console.lines.back(), c.logged);
  }
}

class KextHelperTest : public KextSimFixture {
 protected:
  void TearDown() override {
    KextHelper::unloadMessagePipe();
    KextHelper::setHooks({});
    KextHelper::resetUpdates();
    KextSimFixture::TearDown();
  }
};

TEST_F(KextHelperTest, OpenErrors) {
  EXPECT_TRUE(KextHelper::getLastError().empty());
  ASSERT_FALSE(KextHelper::openKextConnection());
  auto e = KextHelper::getLastError();
  EXPECT_EQ(e.code, KextHelper::kErrorNotResolved);
  EXPECT_EQ(e.domain, "");
  EXPECT_EQ(e.description, "加速引擎未加载");
  EXPECT_EQ(e.recoverySuggestion, "重启程序");

  StartDaemon();
  std::string path;
  ASSERT_EQ(platform::kctl::resolve(kabi::kControlName, &path), 0);
  platform::kctl::Client other;
  ASSERT_EQ(other.connect(path), 0);
  ASSERT_FALSE(KextHelper::openKextConnection());
  EXPECT_EQ(KextHelper::getLastError().code, KextHelper::kErrorRefused);
  EXPECT_EQ(KextHelper::getLastError().description, "连接驱动设备失败");
  EXPECT_FALSE(KextHelper::isConnected());
  other.close();
  EXPECT_TRUE(WaitStats([](const std::string& s) { return s.find("\"attached\":0") != s.npos; }));
  ASSERT_TRUE(KextHelper::openKextConnection());
  // A successful open keeps the last error for whoever asks.
  EXPECT_EQ(KextHelper::getLastError().code, KextHelper::kErrorRefused);
}

TEST_F(KextHelperTest, ReaderAnswersPathsAndSumsTraffic) {
  StartDaemon();
  installPath();
  std::mutex m;
  std::condition_variable cv;
  std::pair<int64_t, int64_t> last{-1, -1};
  auto hooks = KextHelper::Hooks{[](uint32_t offset) -> std::optional<KextPathAnswer> {
                                   if (offset != 2) return std::nullopt;
                                   return KextPathAnswer{"127.0.0.1", 7000, "3-4", "bmF0"};
                                 },
                                 [] { return 0u; },
                                 [&](int64_t up, int64_t down) {
                                   std::lock_guard lock(m);
                                   last = {up, down};
                                   cv.notify_all();
                                 }};
  KextHelper::setHooks(hooks);
  ASSERT_TRUE(KextHelper::openKextConnection());
  EXPECT_TRUE(KextHelper::isConnected());

  auto req = pathRequest(2);
  ASSERT_EQ(Admin("emit 2 " + Hex(&req, sizeof req)), "0");
  EXPECT_TRUE(
      WaitStats([](const std::string& s) { return s.find("\"server_sockets\":1") != s.npos; }));

  auto out = packetReport(kabi::K2U_DIR_OUT, 60);
  auto in = packetReport(kabi::K2U_DIR_IN, 28);
  ASSERT_EQ(Admin("emit 3 " + Hex(&out, sizeof out)), "0");
  ASSERT_EQ(Admin("emit 3 0102"), "0");  // short: skipped
  ASSERT_EQ(Admin("emit 3 " + Hex(&in, sizeof in)), "0");
  {
    std::unique_lock lock(m);
    EXPECT_TRUE(cv.wait_for(lock, std::chrono::seconds(5), [&] {
      return last == std::pair<int64_t, int64_t>{60, 28};
    }));
  }

  // Closing ends the blocked reader and detaches from the filter; twice is harmless.
  ConsoleLines console;
  KextHelper::unloadMessagePipe();
  EXPECT_FALSE(KextHelper::isConnected());
  KextHelper::unloadMessagePipe();
  EXPECT_EQ(console.count("驱动通信读取数据异常"), 0u);
  EXPECT_EQ(console.count("驱动通信管道成功关闭"), 1u);
  EXPECT_TRUE(WaitStats([](const std::string& s) { return s.find("\"attached\":0") != s.npos; }));
  // The filter can take the next client at once.
  ASSERT_TRUE(KextHelper::openKextConnection());
  // Opening again with a connection open closes the old one first.
  ASSERT_TRUE(KextHelper::openKextConnection());
}

TEST_F(KextHelperTest, DaemonGoneEndsReaderWithError) {
  StartDaemon();
  ConsoleLines console;
  ASSERT_TRUE(KextHelper::openKextConnection());
  StopDaemon();
  for (int i = 0; i < 500 && console.count("驱动通信读取数据异常") == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(console.count("驱动通信读取数据异常"), 1u);
  KextHelper::unloadMessagePipe();
}

TEST_F(KextHelperTest, LiveUpdatesSentOnlyOnChange) {
  ConsoleLines console;
  // Refused (nothing open): not remembered, so the same values go out again.
  KextHelper::UpdateStreamLimit(1, 2);
  KextHelper::UpdateStreamLimit(1, 2);
  EXPECT_EQ(console.count("更新限速信息"), 2u);
  KextHelper::UpdateEntranceIP("127.0.0.1", 7000);
  KextHelper::UpdateEntranceIP("127.0.0.1", 7000);
  EXPECT_EQ(console.count("更新入口服务器"), 2u);

  StartDaemon();
  ASSERT_TRUE(KextHelper::openKextConnection());
  KextHelper::UpdateStreamLimit(1, 2);
  KextHelper::UpdateStreamLimit(1, 2);
  EXPECT_EQ(console.count("更新限速信息"), 3u);
  // Out-of-range halves are clamped rather than spilling into each other.
  KextHelper::UpdateStreamLimit(70000, -5);
  EXPECT_EQ(console.count("upLimit=65535 downLimit=0"), 1u);

  KextHelper::UpdateEntranceIP("127.0.0.1", 7000);
  KextHelper::UpdateEntranceIP("127.0.0.1", 7000);
  EXPECT_EQ(console.count("更新入口服务器"), 3u);
  KextHelper::UpdateEntranceIP("127.0.0.1", 7001);  // a new port alone is a change
  EXPECT_EQ(console.count("更新入口服务器"), 4u);
}

}  // namespace
