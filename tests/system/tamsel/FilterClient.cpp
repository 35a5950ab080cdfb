#include "FilterClient.h"

#include <arpa/inet.h>

#include <cstring>

#include "platform/kctl/wire.h"

namespace tsl {

using namespace tamsel::abi;

std::string Record::text() const { return std::string(payload.begin(), payload.end()); }

k2u_req_path Record::path() const {
  k2u_req_path p{};
  std::memcpy(&p, payload.data(), std::min(sizeof p, payload.size()));
  return p;
}

k2u_ippacket_desc Record::packet() const {
  k2u_ippacket_desc p{};
  std::memcpy(&p, payload.data(), std::min(sizeof p, payload.size()));
  return p;
}

FilterClient::~FilterClient() { close(); }

int FilterClient::connect() {
  int e = client_.connect(platform::kctl::wire::socket_path(runDir_, kControlName));
  if (e == 0) reader_ = std::thread([this] { read(); });
  return e;
}

void FilterClient::close() {
  client_.close();
  if (reader_.joinable()) reader_.join();
}

void FilterClient::read() {
  std::vector<uint8_t> buf(4096);
  for (;;) {
    long n = client_.readRecord(buf.data(), buf.size());
    if (n <= 0) return;
    Record r;
    if (n >= 4) std::memcpy(&r.type, buf.data(), 4);
    r.payload.assign(buf.begin() + std::min<long>(n, 4), buf.begin() + n);
    if (r.type == K2U_REQ_PATH) {
      // Answered before the record is published, so a test that saw the request sees the answer.
      int offset = static_cast<int>(r.path().offset);
      bool known;
      {
        std::lock_guard g(m_);
        known = entrances_.count(offset) != 0;
      }
      if (known) {
        int e = installPath(offset);
        std::lock_guard g(m_);
        answers_.push_back(e);
      }
    }
    std::lock_guard g(m_);
    records_.push_back(std::move(r));
    changed_.notify_all();
  }
}

int FilterClient::set(int name, const void* data, size_t len) {
  return client_.setOption(kOptionLevel, name, data, len);
}

int FilterClient::vni(int32_t v) { return set(KCTL_SET_VNI_BASE, &v, sizeof v); }

int FilterClient::white(int offset, int level, const std::string& rule) {
  white_rule_config c{};
  c.offset = offset;
  c.level = level;
  std::strncpy(c.rule, rule.c_str(), sizeof c.rule - 1);
  return set(KCTL_ADD_WHITE_RULE, &c, sizeof c);
}

int FilterClient::black(const std::string& rule) {
  return set(KCTL_ADD_BLACK_RULE, rule.data(), rule.size());
}

int FilterClient::dnsRule(const std::string& server, const std::string& domain) {
  dns_rule_config c{};
  std::strncpy(c.server, server.c_str(), sizeof c.server - 1);
  std::strncpy(c.domains, domain.c_str(), sizeof c.domains - 1);
  return set(KCTL_SET_DNS_RULE_FOR_SRV, &c, sizeof c);
}

int FilterClient::address(int name, const std::string& ip) {
  in_addr a{};
  if (::inet_pton(AF_INET, ip.c_str(), &a) != 1) return EINVAL;
  return set(name, &a, sizeof a);
}

int FilterClient::on(int name) {
  int32_t ignored = 0;
  return set(name, &ignored, sizeof ignored);
}

void FilterClient::setEntrance(int offset, const Entrance& e) {
  std::lock_guard g(m_);
  entrances_[offset] = e;
}

int FilterClient::installPath(int offset) {
  Entrance e;
  {
    std::lock_guard g(m_);
    auto it = entrances_.find(offset);
    if (it == entrances_.end()) return ENOENT;
    e = it->second;
  }
  vni_off_entry v{};
  v.offset = offset;
  std::strncpy(v.entrance_ip, e.ip.c_str(), sizeof v.entrance_ip - 1);
  v.port = e.port;
  v.exit = e.exit;
  std::strncpy(v.exit_nat, e.nat.c_str(), sizeof v.exit_nat - 1);
  v.stream_limit = e.streamLimit;
  return set(KCTL_SET_VNI_OFF_ENTRY, &v, sizeof v);
}

std::vector<int> FilterClient::pathAnswers() const {
  std::lock_guard g(m_);
  return answers_;
}

std::vector<Record> FilterClient::records() const {
  std::lock_guard g(m_);
  return records_;
}

bool FilterClient::waitFor(const std::function<bool(const std::vector<Record>&)>& done,
                           std::chrono::milliseconds timeout) const {
  std::unique_lock g(m_);
  return changed_.wait_for(g, timeout, [&] { return done(records_); });
}

size_t countType(const std::vector<Record>& rs, uint32_t type) {
  size_t n = 0;
  for (const auto& r : rs) n += r.type == type;
  return n;
}

size_t countLog(const std::vector<Record>& rs, const std::string& needle) {
  size_t n = 0;
  for (const auto& r : rs) n += r.type == K2U_LOG && r.text().find(needle) != std::string::npos;
  return n;
}

}  // namespace tsl
