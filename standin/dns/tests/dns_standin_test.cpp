// The DNS stand-in over loopback: what it answers, how it compresses, its switches, bad queries.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "standin/DnsStandin.h"

namespace standin {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes query(uint16_t id, const std::string& name, uint16_t type = 1) {
  Bytes b = {
      static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), 0x01, 0, 0, 1, 0, 0, 0, 0, 0, 0};
  size_t start = 0;
  while (start < name.size()) {
    size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    b.push_back(static_cast<uint8_t>(dot - start));
    b.insert(b.end(), name.begin() + static_cast<long>(start),
             name.begin() + static_cast<long>(dot));
    start = dot + 1;
  }
  b.insert(b.end(), {0, static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type), 0, 1});
  return b;
}

// A reader of our own, written apart from the server's, so that both must agree with the format.
struct Rr {
  std::string owner;
  uint16_t type;
  std::string data;  // dotted name or address text
  bool owner_is_pointer;
};
struct Msg {
  uint16_t id = 0, flags = 0, qd = 0, an = 0;
  std::vector<Rr> answers;
};

std::string name_at(const Bytes& b, size_t pos) {
  std::string out;
  for (int guard = 0; guard < 64; ++guard) {
    if (pos >= b.size()) return "<past end>";
    uint8_t len = b[pos];
    if ((len & 0xc0) == 0xc0) {
      pos = static_cast<size_t>((len & 0x3f) << 8 | b.at(pos + 1));
      continue;
    }
    if (len == 0) return out;
    if (!out.empty()) out += '.';
    out.append(b.begin() + static_cast<long>(pos + 1),
               b.begin() + static_cast<long>(pos + 1 + len));
    pos += 1u + len;
  }
  return "<loop>";
}
size_t skip_name(const Bytes& b, size_t pos) {
  while (pos < b.size()) {
    if ((b[pos] & 0xc0) == 0xc0) return pos + 2;
    if (b[pos] == 0) return pos + 1;
    pos += 1u + b[pos];
  }
  return b.size();
}
uint16_t at16(const Bytes& b, size_t p) {
  return static_cast<uint16_t>(b.at(p) << 8 | b.at(p + 1));
}

Msg decode(const Bytes& b) {
  Msg m;
  if (b.size() < 12) return m;
  m.id = at16(b, 0);
  m.flags = at16(b, 2);
  m.qd = at16(b, 4);
  m.an = at16(b, 6);
  size_t p = 12;
  for (int i = 0; i < m.qd; ++i) p = skip_name(b, p) + 4;
  for (int i = 0; i < m.an && p < b.size(); ++i) {
    Rr r;
    r.owner = name_at(b, p);
    r.owner_is_pointer = (b[p] & 0xc0) == 0xc0;
    p = skip_name(b, p);
    r.type = at16(b, p);
    uint16_t len = at16(b, p + 8);
    p += 10;
    if (r.type == 1 && len == 4) {
      char text[INET_ADDRSTRLEN];
      ::inet_ntop(AF_INET, &b.at(p), text, sizeof text);
      r.data = text;
    } else if (r.type == 5) {
      r.data = name_at(b, p);
    }
    p += len;
    m.answers.push_back(r);
  }
  return m;
}

class Client {
 public:
  explicit Client(int port) : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    timeval tv{5, 0};  // a guard against a hang; every receive below expects an answer
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    to_.sin_family = AF_INET;
    to_.sin_port = htons(static_cast<uint16_t>(port));
    to_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  }
  ~Client() { ::close(fd_); }
  void send(const Bytes& q) {
    ASSERT_EQ(::sendto(fd_, q.data(), q.size(), 0, reinterpret_cast<sockaddr*>(&to_), sizeof to_),
              static_cast<ssize_t>(q.size()));
  }
  Bytes receive() {
    Bytes b(2048);
    ssize_t n = ::recv(fd_, b.data(), b.size(), 0);
    b.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return b;
  }

 private:
  int fd_;
  sockaddr_in to_{};
};

class DnsStandinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dns.addCname("www.example.test", "edge.cdn.test"));
    ASSERT_TRUE(dns.addCname("edge.cdn.test", "node7.edge.cdn.test"));
    ASSERT_TRUE(dns.addA("node7.edge.cdn.test", "192.0.2.10"));
    ASSERT_TRUE(dns.addA("node7.edge.cdn.test", "192.0.2.11"));
    ASSERT_TRUE(dns.start());
  }
  DnsStandin dns;
};

TEST_F(DnsStandinTest, FollowsTheChainWithCompressedNames) {
  Client c(dns.port());
  c.send(query(0x1234, "WWW.Example.test"));
  Bytes b = c.receive();
  Msg m = decode(b);
  EXPECT_EQ(m.id, 0x1234);
  EXPECT_EQ(m.flags & 0x800f, 0x8000);  // an answer, NOERROR
  EXPECT_EQ(m.flags & 0x0100, 0x0100);  // recursion desired echoed
  ASSERT_EQ(m.an, 4);
  ASSERT_EQ(m.answers.size(), 4u);
  struct Want {
    std::string owner;
    uint16_t type;
    std::string data;
  };
  const Want want[] = {{"WWW.Example.test", 5, "edge.cdn.test"},
                       {"edge.cdn.test", 5, "node7.edge.cdn.test"},
                       {"node7.edge.cdn.test", 1, "192.0.2.10"},
                       {"node7.edge.cdn.test", 1, "192.0.2.11"}};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(m.answers[i].owner, want[i].owner) << i;
    EXPECT_EQ(m.answers[i].type, want[i].type) << i;
    EXPECT_EQ(m.answers[i].data, want[i].data) << i;
    // Every owner was written before (the question, or a CNAME target): a pointer.
    EXPECT_TRUE(m.answers[i].owner_is_pointer) << i;
  }
  ASSERT_GT(b.size(), 35u);  // header 12, question name 18, type and class 4
  EXPECT_EQ(b[34], 0xc0);    // the first owner points at the question
  EXPECT_EQ(b[35], 0x0c);
  // The second target shares "edge.cdn.test" with the first: one label, then a pointer.
  EXPECT_LT(b.size(), 140u);
  EXPECT_EQ(dns.queries(), std::vector<std::string>{"WWW.Example.test"});
}

TEST_F(DnsStandinTest, AnswersByNameAndType) {
  struct Case {
    const char* name;
    uint16_t type;
    int rcode;
    std::vector<uint16_t> types;
  };
  const Case cases[] = {
      {"node7.edge.cdn.test", 1, 0, {1, 1}}, {"edge.cdn.test", 255, 0, {5, 1, 1}},
      {"www.example.test", 5, 0, {5}},     // the CNAME alone
      {"node7.edge.cdn.test", 28, 0, {}},  // known name, no such data
      {"missing.example.test", 1, 3, {}},  // NXDOMAIN
  };
  for (const auto& k : cases) {
    Msg m = decode(dns.answer(query(7, k.name, k.type).data(), query(7, k.name, k.type).size()));
    EXPECT_EQ(m.flags & 0xf, k.rcode) << k.name << " " << k.type;
    std::vector<uint16_t> types;
    for (const auto& r : m.answers) types.push_back(r.type);
    EXPECT_EQ(types, k.types) << k.name << " " << k.type;
  }
  // A chain whose end is missing, and one that loops.
  ASSERT_TRUE(dns.addCname("dangling.test", "nowhere.test"));
  ASSERT_TRUE(dns.addCname("loop1.test", "loop2.test"));
  ASSERT_TRUE(dns.addCname("loop2.test", "LOOP1.test"));
  Bytes d = query(8, "dangling.test"), l = query(9, "loop1.test");
  EXPECT_EQ(decode(dns.answer(d.data(), d.size())).flags & 0xf, 3);
  EXPECT_EQ(decode(dns.answer(l.data(), l.size())).flags & 0xf, 2);
}

TEST_F(DnsStandinTest, SwitchesAnswerBadly) {
  Client c(dns.port());
  struct Case {
    DnsStandin::Mode mode;
    int rcode;
    bool tc;
  };
  const Case cases[] = {{DnsStandin::Mode::kNxdomain, 3, false},
                        {DnsStandin::Mode::kServfail, 2, false},
                        {DnsStandin::Mode::kTruncated, 0, true}};
  uint16_t id = 100;
  for (const auto& k : cases) {
    dns.setMode(k.mode);
    c.send(query(++id, "www.example.test"));
    Msg m = decode(c.receive());
    EXPECT_EQ(m.id, id);
    EXPECT_EQ(m.flags & 0xf, k.rcode) << id;
    EXPECT_EQ((m.flags & 0x0200) != 0, k.tc) << id;
    EXPECT_EQ(m.an, 0) << id;
    EXPECT_EQ(m.qd, 1) << id;
  }
  // Silence: the query is logged and gets nothing; the next answer to arrive is the next query's.
  dns.setMode(DnsStandin::Mode::kSilent);
  size_t logged = dns.queries().size();
  c.send(query(200, "www.example.test"));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);  // hang guard
  while (dns.queries().size() == logged && std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  ASSERT_EQ(dns.queries().size(), logged + 1);
  dns.setMode(DnsStandin::Mode::kNormal);
  c.send(query(201, "www.example.test"));
  Msg m = decode(c.receive());
  EXPECT_EQ(m.id, 201);
  EXPECT_EQ(m.an, 4);
}

TEST(DnsStandinQueries, RejectsBadQueries) {
  DnsStandin dns;
  struct Case {
    const char* what;
    Bytes q;
    bool answered;  // FORMERR with the id; otherwise dropped
  };
  Bytes two = query(5, "a.test");
  two[5] = 2;
  Bytes answer = query(5, "a.test");
  answer[2] |= 0x80;
  Bytes past = query(5, "a.test");
  past.resize(14);  // the label says 1 byte plus more; the message ends inside
  Bytes cut_question = query(5, "a.test");
  cut_question.resize(cut_question.size() - 2);
  Bytes loop = {0, 5, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0xc0, 12, 0, 1, 0, 1};
  Bytes forward = {0, 5, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0xc0, 16, 0, 1, 0, 1, 0};
  Bytes long_label = {0, 5, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 64};
  long_label.insert(long_label.end(), 64, 'a');
  long_label.insert(long_label.end(), {0, 0, 1, 0, 1});
  Bytes dotted = query(5, "ab.test");
  dotted[13] = '.';
  Bytes too_long = {0, 5, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0};
  for (int i = 0; i < 5; ++i) {
    too_long.push_back(63);
    too_long.insert(too_long.end(), 63, 'x');
  }
  too_long.insert(too_long.end(), {0, 0, 1, 0, 1});
  const Case cases[] = {
      {"short", Bytes{0, 5, 1}, false},     {"an answer", answer, false},
      {"two questions", two, true},         {"label past the end", past, true},
      {"question cut", cut_question, true}, {"pointer to itself", loop, true},
      {"pointer forwards", forward, true},  {"label over 63", long_label, true},
      {"dot inside a label", dotted, true}, {"name over 255", too_long, true},
  };
  for (const auto& k : cases) {
    // Exact-size copies, so a read past the end shows under the sanitizers.
    Bytes q(k.q);
    Bytes r = dns.answer(q.data(), q.size());
    if (!k.answered) {
      EXPECT_TRUE(r.empty()) << k.what;
      continue;
    }
    Msg m = decode(r);
    EXPECT_EQ(m.id, 5) << k.what;
    EXPECT_EQ(m.flags & 0x800f, 0x8001) << k.what;
    EXPECT_EQ(m.qd + m.an, 0) << k.what;
  }
  EXPECT_TRUE(dns.queries().empty());
}

TEST(DnsStandinRecords, RejectsWhatDnsCannotCarryAndTruncatesLargeAnswers) {
  DnsStandin dns;
  EXPECT_FALSE(dns.addA("a.test", "300.1.1.1"));
  EXPECT_FALSE(dns.addA("", "192.0.2.1"));
  EXPECT_FALSE(dns.addA("a..test", "192.0.2.1"));
  EXPECT_FALSE(dns.addA(std::string(64, 'a') + ".test", "192.0.2.1"));
  EXPECT_FALSE(dns.addCname("a.test", "b..test"));
  // 40 addresses do not fit in 512 bytes: TC and no answers, as a plain UDP server answers.
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(dns.addA("many.test", "192.0.2." + std::to_string(i)));
  Bytes q = query(3, "many.test");
  Bytes r = dns.answer(q.data(), q.size());
  Msg m = decode(r);
  EXPECT_EQ(m.flags & 0x0200, 0x0200);
  EXPECT_EQ(m.an, 0);
  EXPECT_LE(r.size(), 512u);
}

}  // namespace
}  // namespace standin
