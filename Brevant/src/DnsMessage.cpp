#include "Brevant/DnsMessage.h"

#include "Brevant/Packet.h"

namespace brevant {
namespace {

constexpr size_t kMaxLabel = 63;
constexpr size_t kMaxName = 255;
constexpr int kMaxJumps = 16;

struct Reader {
  std::span<const uint8_t> msg;
  std::string* error;

  bool fail(const char* why) {
    if (error) *error = why;
    return false;
  }

  // Reads a possibly compressed name at *pos; *pos moves past the name's bytes in place.
  bool name(size_t* pos, std::string* out) {
    out->clear();
    size_t p = *pos;
    size_t wire_length = 1;  // the final zero byte
    size_t limit = p;        // a pointer must land before the label that holds it
    int jumps = 0;
    bool jumped = false;
    while (true) {
      if (p >= msg.size()) return fail("name past the end");
      uint8_t len = msg[p];
      if ((len & 0xC0) == 0xC0) {
        if (p + 1 >= msg.size()) return fail("name pointer past the end");
        size_t target = (static_cast<size_t>(len & 0x3F) << 8) | msg[p + 1];
        if (target >= limit) return fail("name pointer does not point backwards");
        if (++jumps > kMaxJumps) return fail("too many name pointers");
        if (!jumped) *pos = p + 2;
        jumped = true;
        p = target;
        limit = target;
        continue;
      }
      if (len & 0xC0) return fail("unknown label type");
      if (len == 0) {
        if (!jumped) *pos = p + 1;
        return true;
      }
      if (len > kMaxLabel) return fail("label longer than 63");
      if (p + 1 + len > msg.size()) return fail("label past the end");
      wire_length += 1 + len;
      if (wire_length > kMaxName) return fail("name longer than 255");
      if (!out->empty()) out->push_back('.');
      for (size_t i = 0; i < len; ++i) {
        uint8_t c = msg[p + 1 + i];
        // Names become log text and rule keys: no control bytes, spaces or inner dots.
        if (c <= 0x20 || c == 0x7F || c == '.') return fail("unusable byte in a label");
        out->push_back(static_cast<char>(c));
      }
      p += 1 + len;
    }
  }

  bool record(size_t* pos, DnsRecord* r) {
    if (!name(pos, &r->name)) return false;
    if (*pos + 10 > msg.size()) return fail("record header past the end");
    const uint8_t* h = msg.data() + *pos;
    r->type = read_be16(h);
    r->klass = read_be16(h + 2);
    r->ttl = read_be32(h + 4);
    r->rdlength = read_be16(h + 8);
    *pos += 10;
    if (*pos + r->rdlength > msg.size()) return fail("record data past the end");
    r->rdata_offset = *pos;
    if (r->type == kDnsTypeA && r->klass == 1) {
      if (r->rdlength != 4) return fail("A record not 4 bytes");
      r->address = read_be32(msg.data() + *pos);
    } else if (r->type == kDnsTypeCNAME && r->klass == 1) {
      size_t inner = *pos;
      if (!name(&inner, &r->target)) return false;
      if (inner != *pos + r->rdlength) return fail("CNAME length does not match its name");
    }
    *pos += r->rdlength;
    return true;
  }

  bool records(size_t* pos, size_t count, std::vector<DnsRecord>* out) {
    // Smallest record: a one-byte name plus ten bytes of header.
    if (count > (msg.size() - *pos) / 11) return fail("record count past the end");
    out->resize(count);
    for (auto& r : *out)
      if (!record(pos, &r)) return false;
    return true;
  }
};

}  // namespace

std::optional<DnsMessage> parse_dns_message(std::span<const uint8_t> msg, std::string* error) {
  Reader rd{msg, error};
  if (msg.size() < 12) {
    rd.fail("shorter than a DNS header");
    return std::nullopt;
  }
  DnsMessage m;
  m.id = read_be16(msg.data());
  m.flags = read_be16(msg.data() + 2);
  size_t qd = read_be16(msg.data() + 4);
  size_t an = read_be16(msg.data() + 6);
  size_t ns = read_be16(msg.data() + 8);
  size_t ar = read_be16(msg.data() + 10);
  size_t pos = 12;
  // Smallest question: a one-byte name plus type and class.
  if (qd > (msg.size() - pos) / 5) {
    rd.fail("question count past the end");
    return std::nullopt;
  }
  m.questions.resize(qd);
  for (auto& q : m.questions) {
    if (!rd.name(&pos, &q.name)) return std::nullopt;
    if (pos + 4 > msg.size()) {
      rd.fail("question past the end");
      return std::nullopt;
    }
    q.type = read_be16(msg.data() + pos);
    q.klass = read_be16(msg.data() + pos + 2);
    pos += 4;
  }
  if (!rd.records(&pos, an, &m.answers) || !rd.records(&pos, ns, &m.authority) ||
      !rd.records(&pos, ar, &m.additional))
    return std::nullopt;
  m.end = pos;
  return m;
}

}  // namespace brevant
