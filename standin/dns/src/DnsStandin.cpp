#include "standin/DnsStandin.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

namespace standin {

namespace {

constexpr uint16_t kTypeA = 1;
constexpr uint16_t kTypeCname = 5;
constexpr uint16_t kTypeAny = 255;
constexpr uint8_t kFormErr = 1, kServFail = 2, kNxDomain = 3;
constexpr size_t kHeader = 12;
constexpr size_t kUdpMax = 512;  // plain DNS over UDP; larger answers are truncated
constexpr int kMaxChain = 16;    // a longer CNAME chain is taken for a loop
constexpr uint32_t kTtl = 60;

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

void put16(std::vector<uint8_t>& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}
void put32(std::vector<uint8_t>& b, uint32_t v) {
  put16(b, static_cast<uint16_t>(v >> 16));
  put16(b, static_cast<uint16_t>(v));
}

// Reads a possibly compressed name at *pos; *pos moves past it in the message.
bool read_name(const uint8_t* data, size_t size, size_t* pos, std::string* out,
               std::string* error) {
  size_t p = *pos;
  bool jumped = false;
  int jumps = 0;
  size_t total = 0;
  out->clear();
  for (;;) {
    if (p >= size) return *error = "name runs past the end", false;
    uint8_t len = data[p];
    if ((len & 0xc0) == 0xc0) {
      if (p + 1 >= size) return *error = "pointer runs past the end", false;
      size_t target = static_cast<size_t>((len & 0x3f) << 8 | data[p + 1]);
      // Only backwards, and a bounded number of times: no loops.
      if (target >= p || ++jumps > 32) return *error = "compression pointer loops", false;
      if (!jumped) *pos = p + 2;
      jumped = true;
      p = target;
      continue;
    }
    if (len & 0xc0) return *error = "unknown label type", false;
    if (len == 0) {
      if (!jumped) *pos = p + 1;
      return true;
    }
    if (p + 1 + len > size) return *error = "label runs past the end", false;
    // A dot inside a label could not be told from a separator in the dotted form.
    if (std::find(data + p + 1, data + p + 1 + len, '.') != data + p + 1 + len)
      return *error = "label holds a dot", false;
    total += len + 1u;
    if (total > 255) return *error = "name longer than 255 bytes", false;
    if (!out->empty()) out->push_back('.');
    out->append(reinterpret_cast<const char*>(data + p + 1), len);
    p += 1u + len;
  }
}

// Writes names with suffix compression: each suffix written once, later ones point to it.
class Writer {
 public:
  std::vector<uint8_t> b;
  void name(const std::string& dotted) {
    std::vector<std::string> labels;
    size_t start = 0;
    while (start < dotted.size()) {
      size_t dot = dotted.find('.', start);
      if (dot == std::string::npos) dot = dotted.size();
      labels.push_back(dotted.substr(start, dot - start));
      start = dot + 1;
    }
    for (size_t i = 0; i < labels.size(); ++i) {
      std::string suffix;
      for (size_t j = i; j < labels.size(); ++j) suffix += lower(labels[j]) + ".";
      auto it = offsets_.find(suffix);
      if (it != offsets_.end()) {
        put16(b, static_cast<uint16_t>(0xc000 | it->second));
        return;
      }
      if (b.size() < 0x3fff) offsets_[suffix] = static_cast<uint16_t>(b.size());
      b.push_back(static_cast<uint8_t>(labels[i].size()));
      b.insert(b.end(), labels[i].begin(), labels[i].end());
    }
    b.push_back(0);
  }

 private:
  std::map<std::string, uint16_t> offsets_;
};

std::vector<uint8_t> header_only(uint16_t id, uint16_t flags) {
  std::vector<uint8_t> b;
  put16(b, id);
  put16(b, flags);
  for (int i = 0; i < 4; ++i) put16(b, 0);
  return b;
}

// Names are kept as DNS can carry them: labels of 1..63 bytes, 255 in all.
bool valid_name(const std::string& name) {
  if (name.empty() || name.size() > 253) return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    size_t len = dot - start;
    if (len == 0 || len > 63) return false;
    start = dot + 1;
  }
  return true;
}

}  // namespace

std::optional<DnsQuestion> parseDnsQuery(const uint8_t* data, size_t size, uint16_t* id,
                                         std::string* error) {
  std::string ignored;
  if (!error) error = &ignored;
  if (!data || size < kHeader) return *error = "shorter than a header", std::nullopt;
  if (id) *id = get16(data);
  if (data[2] & 0x80) return *error = "an answer, not a query", std::nullopt;
  if (get16(data + 4) != 1) return *error = "not exactly one question", std::nullopt;
  size_t pos = kHeader;
  DnsQuestion q;
  if (!read_name(data, size, &pos, &q.name, error)) return std::nullopt;
  if (pos + 4 > size) return *error = "question runs past the end", std::nullopt;
  q.type = get16(data + pos);
  q.qclass = get16(data + pos + 2);
  return q;
}

DnsStandin::DnsStandin() = default;
DnsStandin::~DnsStandin() { stop(); }

bool DnsStandin::start(int port, const std::string& address) {
  if (fd_ >= 0) return false;
  in_addr bindTo{};
  if (::inet_pton(AF_INET, address.c_str(), &bindTo) != 1) return false;
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr = bindTo;
  socklen_t al = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &al) != 0) {
    ::close(fd);
    return false;
  }
  wake_ = ::eventfd(0, EFD_CLOEXEC);
  if (wake_ < 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  port_ = ntohs(a.sin_port);
  address_ = address;
  thread_ = std::thread([this] { serve(); });
  return true;
}

void DnsStandin::stop() {
  if (fd_ < 0) return;
  uint64_t one = 1;
  if (::write(wake_, &one, sizeof one) < 0) {
  }  // cannot fail short of a closed descriptor; the join below would then hang visibly
  if (thread_.joinable()) thread_.join();
  ::close(fd_);
  ::close(wake_);
  fd_ = wake_ = -1;
}

std::string DnsStandin::hostPort() const { return address_ + ":" + std::to_string(port_); }

bool DnsStandin::addA(const std::string& name, const std::string& ipv4) {
  in_addr addr{};
  if (!valid_name(name) || ::inet_pton(AF_INET, ipv4.c_str(), &addr) != 1) return false;
  std::lock_guard g(m_);
  a_[lower(name)].push_back(addr.s_addr);
  return true;
}

bool DnsStandin::addCname(const std::string& name, const std::string& target) {
  if (!valid_name(name) || !valid_name(target)) return false;
  std::lock_guard g(m_);
  cname_[lower(name)] = target;
  return true;
}

void DnsStandin::setMode(Mode mode) {
  std::lock_guard g(m_);
  mode_ = mode;
}

std::vector<std::string> DnsStandin::queries() const {
  std::lock_guard g(m_);
  return queries_;
}

std::vector<uint8_t> DnsStandin::answer(const uint8_t* query, size_t size) {
  uint16_t id = 0;
  std::string error;
  auto q = parseDnsQuery(query, size, &id, &error);
  if (!q) {
    // A header we can read that is not an answer gets FORMERR; anything else is dropped.
    if (size < kHeader || (query[2] & 0x80)) return {};
    return header_only(id, static_cast<uint16_t>(0x8000 | kFormErr));
  }
  std::lock_guard g(m_);
  queries_.push_back(q->name);
  if (mode_ == Mode::kSilent) return {};

  const uint16_t rd = static_cast<uint16_t>((query[2] & 0x01) << 8);
  uint16_t flags = static_cast<uint16_t>(0x8000 | 0x0400 | rd | 0x0080);  // QR AA RD RA
  Writer w;
  auto begin = [&](uint16_t f, uint16_t answers) {
    w.b = header_only(id, f);
    w.b[6] = static_cast<uint8_t>(answers >> 8);
    w.b[7] = static_cast<uint8_t>(answers);
    w.b[5] = 1;  // one question
    w.name(q->name);
    put16(w.b, q->type);
    put16(w.b, q->qclass);
  };
  auto fail = [&](uint16_t rcode) {
    begin(static_cast<uint16_t>(flags | rcode), 0);
    return w.b;
  };
  if (mode_ == Mode::kServfail) return fail(kServFail);
  if (mode_ == Mode::kNxdomain) return fail(kNxDomain);
  if (mode_ == Mode::kTruncated) return fail(0x0200);  // TC, no answers

  // The chain from the name asked to its addresses.
  struct Record {
    std::string owner;
    uint16_t type;
    std::string target;
    uint32_t addr;
  };
  std::vector<Record> records;
  std::string cur = q->name;
  bool want_a = q->type == kTypeA || q->type == kTypeAny;
  for (int step = 0;; ++step) {
    if (step > kMaxChain) return fail(kServFail);  // a loop among the CNAMEs set up
    auto c = cname_.find(lower(cur));
    if (c != cname_.end()) {
      records.push_back({cur, kTypeCname, c->second, 0});
      if (q->type == kTypeCname) break;
      cur = c->second;
      continue;
    }
    auto a = a_.find(lower(cur));
    if (a == a_.end()) {
      // Nothing at the end of the chain: the name asked (or its target) does not exist.
      return fail(kNxDomain);
    }
    if (want_a)
      for (uint32_t addr : a->second) records.push_back({cur, kTypeA, "", addr});
    break;
  }

  begin(flags, static_cast<uint16_t>(records.size()));
  for (const auto& r : records) {
    w.name(r.owner);
    put16(w.b, r.type);
    put16(w.b, 1);  // IN
    put32(w.b, kTtl);
    if (r.type == kTypeA) {
      put16(w.b, 4);
      const auto* p = reinterpret_cast<const uint8_t*>(&r.addr);
      w.b.insert(w.b.end(), p, p + 4);
    } else {
      size_t len_at = w.b.size();
      put16(w.b, 0);
      w.name(r.target);
      size_t len = w.b.size() - len_at - 2;
      w.b[len_at] = static_cast<uint8_t>(len >> 8);
      w.b[len_at + 1] = static_cast<uint8_t>(len);
    }
  }
  if (w.b.size() > kUdpMax) return fail(0x0200);
  return w.b;
}

void DnsStandin::serve() {
  std::vector<uint8_t> buf(65536);
  for (;;) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    sockaddr_in from{};
    socklen_t fl = sizeof from;
    ssize_t n = ::recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &fl);
    if (n < 0) continue;
    auto reply = answer(buf.data(), static_cast<size_t>(n));
    if (!reply.empty())
      ::sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), fl);
  }
}

}  // namespace standin
