// Queries of any shape given to the DNS stand-in: parsed, answered, never read past their end.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "standin/DnsStandin.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static standin::DnsStandin* dns = [] {
    auto* d = new standin::DnsStandin;  // never started: answer() alone
    d->addCname("www.example.test", "edge.cdn.test");
    d->addA("edge.cdn.test", "192.0.2.10");
    return d;
  }();
  std::vector<uint8_t> q(data, data + size);  // exact size: an overread shows
  dns->answer(q.data(), q.size());
  return 0;
}
