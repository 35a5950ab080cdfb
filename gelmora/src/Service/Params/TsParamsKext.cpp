#include "gelmora/Service/Params/TsParamsKext.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gelmora/Service/Tools/LOG.h"

namespace abi = tamsel::abi;

namespace {

bool channelDead(int err) {
  return err == EPIPE || err == ECONNRESET || err == EBADF || err == ENOTCONN;
}

std::uint32_t ipv4(const std::string& text) {
  in_addr a{};
  return ::inet_pton(AF_INET, text.c_str(), &a) == 1 ? a.s_addr : 0;
}

std::string bounded(const char* field, std::size_t cap) {
  return std::string(field, ::strnlen(field, cap));
}

}  // namespace

namespace TsParamsKext {

std::string defaultEdnsServer() {
  if (const char* v = std::getenv("GELMORA_EDNS_SERVER"); v && *v) return v;
  return "223.5.5.5";
}

bool setRulesToKext(const KextRuleSet& rules, const KextHelper::OptionSink& sink) {
  bool ok = true;
  auto set = [&](int name, const void* data, std::size_t len) {
    int err = sink(name, data, len);
    if (channelDead(err)) ok = false;
    return err;
  };
  char line[640];

  std::int32_t flow = static_cast<std::int32_t>(std::strtol(rules.flowId.c_str(), nullptr, 10));
  if (set(abi::KCTL_SET_VNI_BASE, &flow, sizeof flow) != 0) {
    ok = false;
    std::snprintf(line, sizeof line, "flow_id设置失败 flow_id:%d", flow);
    MLOG().INFO(line, false);
  }
  MLOG().INFO("flow_id设置完成", false);

  for (const auto& d : rules.dns) {
    if (set(abi::KCTL_SET_DNS_RULE_FOR_SRV, &d, sizeof d) != 0) {
      std::snprintf(line, sizeof line, "DNS规则设置失败 %s, %s",
                    bounded(d.server, sizeof d.server).c_str(),
                    bounded(d.domains, sizeof d.domains).c_str());
      MLOG().INFO(line, false);
    }
  }
  MLOG().INFO("DNS规则设置完成", false);

  for (const auto& w : rules.white) {
    if (set(abi::KCTL_ADD_WHITE_RULE, &w, sizeof w) != 0) {
      std::snprintf(line, sizeof line, "白名单规则设置失败 %s",
                    bounded(w.rule, sizeof w.rule).c_str());
      MLOG().INFO(line, false);
    }
  }
  MLOG().INFO("白名单设置完成", false);

  std::size_t count = 0;
  for (const auto& b : rules.black) {
    if (++count > kMaxBlackRules) break;
    if (set(abi::KCTL_ADD_BLACK_RULE, b.data(), b.size()) != 0)
      MLOG().INFO("黑名单设置失败 " + b, false);
  }
  MLOG().INFO("黑名单设置完成", false);

  std::uint32_t client = ipv4(rules.clientIp);
  if (set(abi::KCTL_SET_CLIENT_IP, &client, sizeof client) != 0) {
    std::snprintf(line, sizeof line, "clientIp 设置失败 %d", static_cast<int>(client));
    MLOG().INFO(line, false);
  } else {
    MLOG().INFO("客户端ip设置成功 " + rules.clientIp, false);
  }

  std::uint32_t edns = ipv4(rules.ednsServer.empty() ? defaultEdnsServer() : rules.ednsServer);
  if (set(abi::KCTL_SET_EDNS_SERVER, &edns, sizeof edns) != 0) {
    std::snprintf(line, sizeof line, "dnsServer 设置失败 %d", static_cast<int>(edns));
  } else {
    std::snprintf(line, sizeof line, "dnsServer 设置成功 %u", edns);
  }
  MLOG().INFO(line, false);

  static constexpr struct {
    int name;
    const char* text;
  } kSwitches[] = {
      {abi::KCTL_ENABLE_INTERCEPT_TCP, "KCTL_ENABLE_INTERCEPT_TCP"},
      {abi::KCTL_ENABLE_INTERCEPT_UDP, "KCTL_ENABLE_INTERCEPT_UDP"},
      {abi::KCTL_ENABLE_INTERCEPT_ICMP, "KCTL_ENABLE_INTERCEPT_ICMP"},
      {abi::KCTL_ENABLE_INTERCEPT_DNS, "KCTL_ENABLE_INTERCEPT_DNS"},
      {abi::KCTL_ENABLE_INTERCEPT, "KCTL_ENABLE_INTERCEPT"},
  };
  for (const auto& sw : kSwitches) {
    if (set(sw.name, nullptr, 0) != 0) {
      std::printf("set %s error\n", sw.text);
      if (sw.name == abi::KCTL_ENABLE_INTERCEPT) ok = false;
    }
  }
  return ok;
}

bool setRulesToKext(const KextRuleSet& rules) {
  return setRulesToKext(rules, [](int name, const void* data, std::size_t len) {
    return KextHelper::setOption(name, data, len);
  });
}

}  // namespace TsParamsKext
