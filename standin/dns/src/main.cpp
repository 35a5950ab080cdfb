// The DNS stand-in as a program: "--a NAME=IPV4" and "--cname NAME=TARGET" (each repeatable) set
// the records; "--mode nxdomain|servfail|tc|silent" makes every answer go wrong that way;
// "--address IPV4" listens there instead of 127.0.0.1.
#include <arpa/inet.h>

#include <memory>
#include <string>

#include "standin/DnsStandin.h"
#include "standin/HttpStandin.h"

namespace {

bool split(const std::string& v, std::string* left, std::string* right) {
  size_t eq = v.find('=');
  if (eq == std::string::npos || eq == 0 || eq + 1 == v.size()) return false;
  *left = v.substr(0, eq);
  *right = v.substr(eq + 1);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  auto dns = std::make_shared<standin::DnsStandin>();
  using Mode = standin::DnsStandin::Mode;
  auto address = std::make_shared<std::string>("127.0.0.1");
  std::vector<standin::ProgramOption> options = {
      {"--address", "IPV4",
       [address](const std::string& v) {
         in_addr a{};
         if (::inet_pton(AF_INET, v.c_str(), &a) != 1) return false;
         *address = v;
         return true;
       }},
      {"--a", "NAME=IPV4",
       [dns](const std::string& v) {
         std::string name, ip;
         return split(v, &name, &ip) && dns->addA(name, ip);
       }},
      {"--cname", "NAME=TARGET",
       [dns](const std::string& v) {
         std::string name, target;
         return split(v, &name, &target) && dns->addCname(name, target);
       }},
      {"--mode", "normal|nxdomain|servfail|tc|silent",
       [dns](const std::string& v) {
         if (v == "normal")
           dns->setMode(Mode::kNormal);
         else if (v == "nxdomain")
           dns->setMode(Mode::kNxdomain);
         else if (v == "servfail")
           dns->setMode(Mode::kServfail);
         else if (v == "tc")
           dns->setMode(Mode::kTruncated);
         else if (v == "silent")
           dns->setMode(Mode::kSilent);
         else
           return false;
         return true;
       }},
  };
  standin::ProgramServer server{[dns, address](int port) -> std::optional<std::string> {
                                  if (!dns->start(port, *address)) return std::nullopt;
                                  return dns->hostPort();
                                },
                                [dns] { dns->stop(); }};
  return standin::runProgram(argc, argv, options, server);
}
