#include "standin/AddressEcho.h"

namespace standin {

AddressEcho::AddressEcho() { install(server_, this); }

void AddressEcho::setBody(std::string body) {
  std::lock_guard lock(mutex_);
  body_ = std::move(body);
}

std::string AddressEcho::body() const {
  std::lock_guard lock(mutex_);
  return body_;
}

void AddressEcho::install(HttpStandin& server, AddressEcho* owner) {
  server.handle("/", [owner](const Request&) {
    return Reply::text(owner ? owner->body() : std::string(kDefaultBody), "text/plain");
  });
}

}  // namespace standin
