#include "gelmora/Service/Speed/KextHelper.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

#include "gelmora/Core/Localization.h"
#include "gelmora/Service/Tools/LOG.h"
#include "gelmora/Service/Tools/TsConvertHelper.h"
#include "platform/kctl/Client.h"
#include "tamsel/kctl_abi.h"

namespace abi = tamsel::abi;

namespace {

struct State {
  std::mutex mutex;  // guards the fields below, never held across a blocking read
  std::shared_ptr<platform::kctl::Client> client;
  std::thread reader;
  bool stopping = false;
  platform::reactive::Error error;
  KextHelper::Hooks hooks;
  std::function<void()> connectionLost;
  std::uint32_t lastStreamLimit = 0;
  std::optional<std::pair<std::string, std::uint32_t>> lastEntrance;
};

State& state() {
  static State s;
  return s;
}

std::string errnoName(int err) {
  const char* name = ::strerrorname_np(err);
  return name ? name : std::to_string(err);
}

// Text of a fixed field that the sender need not terminate.
std::string boundedText(const char* field, std::size_t cap) {
  return std::string(field, ::strnlen(field, cap));
}

void copyCut(char* dst, std::size_t cap, std::string_view src) {
  std::size_t n = std::min(src.size(), cap - 1);
  std::memcpy(dst, src.data(), n);
  dst[n] = '\0';
}

platform::reactive::Error openError(long long code, const char* description) {
  platform::reactive::Error e;
  e.domain = "";
  e.code = code;
  e.description = gelmora::localizedString(description);
  e.recoverySuggestion = gelmora::localizedString("重启程序");
  return e;
}

KextHelper::Hooks hooks() {
  std::lock_guard lock(state().mutex);
  return state().hooks;
}

void answerPath(const std::uint8_t* payload, const KextHelper::OptionSink& sink) {
  abi::k2u_req_path req;
  std::memcpy(&req, payload, sizeof req);
  char addr[INET_ADDRSTRLEN] = {};
  in_addr in{};
  in.s_addr = req.ip;
  ::inet_ntop(AF_INET, &in, addr, sizeof addr);
  char line[256];
  std::snprintf(line, sizeof line, "req path off (%d) level (%d) addr(%s) domain(%s)\n",
                static_cast<int>(req.offset), static_cast<int>(req.level), addr,
                boundedText(req.domain, sizeof req.domain).c_str());
  MLOG().INFO(line, false);

  KextHelper::Hooks h = hooks();
  KextPathAnswer path;
  if (h.path) path = h.path(req.offset).value_or(KextPathAnswer{});
  abi::vni_off_entry entry{};
  entry.offset = static_cast<std::int32_t>(req.offset);
  copyCut(entry.entrance_ip, sizeof entry.entrance_ip, path.entranceIp);
  entry.port = path.port;
  entry.exit = TsConvertHelper::addrToUInt32(path.exitAddr);
  copyCut(entry.exit_nat, sizeof entry.exit_nat, path.exitNat);
  entry.stream_limit = h.streamLimit ? h.streamLimit() : 0;
  char answer[256];
  std::snprintf(answer, sizeof answer, "offset(%d) in(%s:%d) out(%s:%u)", entry.offset,
                entry.entrance_ip, entry.port, entry.exit_nat, entry.exit);
  MLOG().INFO(answer, false);
  if (!sink || sink(abi::KCTL_SET_VNI_OFF_ENTRY, &entry, sizeof entry) != 0)
    std::printf("set %s error\n", "KCTL_SET_VNI_OFF_ENTRY");
}

void readerLoop(std::shared_ptr<platform::kctl::Client> client) {
  MLOG().INFO("开启通信管道", false);
  KextHelper::Totals totals;
  KextHelper::OptionSink sink = [client](int name, const void* data, std::size_t len) {
    return client->setOption(abi::kOptionLevel, name, data, len);
  };
  std::uint8_t buf[KextHelper::kRecordBuffer + 1];
  for (;;) {
    long n = client->readRecord(buf, KextHelper::kRecordBuffer);
    if (n > 0) {
      buf[n] = 0;
      KextHelper::dispatchRecord(buf, static_cast<std::size_t>(n), totals, sink);
      continue;
    }
    if (n == -EINTR) continue;
    // The end of the connection or a failed read: either way nothing more will come.
    bool stopping;
    std::function<void()> lost;
    {
      std::lock_guard lock(state().mutex);
      stopping = state().stopping;
      lost = state().connectionLost;
    }
    if (stopping) return;
    MLOG().ERROR("驱动通信读取数据异常");
    if (lost) lost();
    return;
  }
}

}  // namespace

void KextHelper::setConnectionLostHandler(std::function<void()> handler) {
  std::lock_guard lock(state().mutex);
  state().connectionLost = std::move(handler);
}

void KextHelper::setHooks(Hooks h) {
  std::lock_guard lock(state().mutex);
  state().hooks = std::move(h);
}

void KextHelper::dispatchRecord(const std::uint8_t* data, std::size_t len, Totals& totals,
                                const OptionSink& sink) {
  if (len < 4) {
    MLOG().INFO("KEXT: short record skipped", false);
    return;
  }
  std::uint32_t type;
  std::memcpy(&type, data, 4);
  const std::uint8_t* payload = data + 4;
  std::size_t size = len - 4;
  switch (type) {
    case abi::K2U_LOG: {
      std::string text(reinterpret_cast<const char*>(payload),
                       ::strnlen(reinterpret_cast<const char*>(payload), size));
      std::size_t lf = text.find('\n');
      if (lf != std::string::npos) text.resize(lf);
      LOG::console("KEXT: " + text);
      return;
    }
    case abi::K2U_REQ_PATH:
      if (size < sizeof(abi::k2u_req_path)) {
        MLOG().INFO("KEXT: short path request skipped", false);
        return;
      }
      answerPath(payload, sink);
      return;
    case abi::K2U_IPPACKET: {
      if (size < sizeof(abi::k2u_ippacket_desc)) {
        MLOG().INFO("KEXT: short packet report skipped", false);
        return;
      }
      abi::k2u_ippacket_desc d;
      std::memcpy(&d, payload, sizeof d);
      if (d.direction == abi::K2U_DIR_OUT)
        totals.up += d.desc.length;
      else
        totals.down += d.desc.length;
      KextHelper::Hooks h = hooks();
      if (h.traffic) h.traffic(totals.up, totals.down);
      return;
    }
    default:
      std::printf("default cases\n");
      return;
  }
}

bool KextHelper::openKextConnection() {
  State& s = state();
  // A connection still open would make the filter refuse the new client; its reader must be
  // gone before the descriptor state is replaced.
  bool hadConnection = isConnected();
  unloadMessagePipe();

  std::string path;
  int err = platform::kctl::resolve(abi::kControlName, &path);
  if (err != 0) {
    MLOG().INFO("control does not resolve: " + errnoName(err), false);
    std::lock_guard lock(s.mutex);
    s.error = openError(kErrorNotResolved, "加速引擎未加载");
    return false;
  }
  auto client = std::make_shared<platform::kctl::Client>();
  err = client->connect(path);
  // The filter lets go of the client just closed on its own thread; give it a moment rather
  // than being refused by our own previous connection.
  for (int i = 0; err == ECONNREFUSED && hadConnection && i < 100; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    err = client->connect(path);
  }
  if (err != 0) {
    MLOG().INFO("control connect failed: " + errnoName(err), false);
    std::lock_guard lock(s.mutex);
    s.error = openError(kErrorRefused, "连接驱动设备失败");
    return false;
  }
  std::lock_guard lock(s.mutex);
  s.client = client;
  s.stopping = false;
  s.reader = std::thread(readerLoop, client);
  return true;
}

void KextHelper::unloadMessagePipe() {
  State& s = state();
  std::shared_ptr<platform::kctl::Client> client;
  std::thread reader;
  {
    std::lock_guard lock(s.mutex);
    s.stopping = true;
    client = std::move(s.client);
    reader = std::move(s.reader);
  }
  if (client) client->close();  // wakes a blocked read with the end of the connection
  if (reader.joinable()) reader.join();
  if (client) MLOG().INFO("驱动通信管道成功关闭", false);
}

bool KextHelper::isConnected() {
  std::lock_guard lock(state().mutex);
  return state().client && state().client->connected();
}

int KextHelper::setOption(int name, const void* data, std::size_t len) {
  std::shared_ptr<platform::kctl::Client> client;
  {
    std::lock_guard lock(state().mutex);
    client = state().client;
  }
  if (!client) return EBADF;
  return client->setOption(abi::kOptionLevel, name, data, len);
}

platform::reactive::Error KextHelper::getLastError() {
  std::lock_guard lock(state().mutex);
  return state().error;
}

void KextHelper::UpdateStreamLimit(std::int64_t up, std::int64_t down) {
  auto clamp = [](std::int64_t v) {
    return static_cast<std::uint32_t>(std::clamp<std::int64_t>(v, 0, 65535));
  };
  std::uint32_t value = (clamp(up) << 16) | clamp(down);
  {
    std::lock_guard lock(state().mutex);
    if (value == state().lastStreamLimit) return;
  }
  char line[128];
  std::snprintf(line, sizeof line, "更新限速信息 upLimit=%u downLimit=%u", clamp(up), clamp(down));
  MLOG().INFO(line, false);
  if (setOption(abi::KCTL_UPDATE_STREAMLIMIT, &value, sizeof value) == 0) {
    std::lock_guard lock(state().mutex);
    state().lastStreamLimit = value;
  }
}

void KextHelper::UpdateEntranceIP(const std::string& address, std::uint32_t port) {
  {
    std::lock_guard lock(state().mutex);
    if (state().lastEntrance && state().lastEntrance->first == address &&
        state().lastEntrance->second == port)
      return;
  }
  abi::vni_off_entry entry{};
  copyCut(entry.entrance_ip, sizeof entry.entrance_ip, address);
  entry.port = static_cast<std::int32_t>(port & 0xffff);
  char line[128];
  std::snprintf(line, sizeof line, "更新入口服务器：%s:%d", entry.entrance_ip, entry.port);
  MLOG().INFO(line, false);
  bool accepted = false;
  for (int offset = 0; offset < abi::kPathOffsetCount; ++offset) {
    entry.offset = offset;
    if (setOption(abi::KCTL_UPDATE_ENTRANCE_SERVER, &entry, sizeof entry) == 0)
      accepted = true;
    else
      std::printf("set %s error\n", "KCTL_UPDATE_ENTRANCE_SERVER");
  }
  if (accepted) {
    std::lock_guard lock(state().mutex);
    state().lastEntrance = std::make_pair(address, port);
  }
}

void KextHelper::resetUpdates() {
  std::lock_guard lock(state().mutex);
  state().lastStreamLimit = 0;
  state().lastEntrance.reset();
}
