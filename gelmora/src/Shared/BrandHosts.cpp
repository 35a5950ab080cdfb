#include "gelmora/Shared/BrandHosts.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Core/BHAppPackage.h"

namespace {

std::string lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

struct HostPort {
  std::string host;
  std::optional<int> port;
};

// "host", "host:port", "[v6]" or "[v6]:port"; none for anything else.
std::optional<HostPort> splitHostPort(std::string_view authority) {
  HostPort out;
  std::string_view rest;
  if (!authority.empty() && authority.front() == '[') {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    out.host = lower(authority.substr(0, close + 1));
    rest = authority.substr(close + 1);
  } else {
    const size_t colon = authority.find(':');
    out.host = lower(authority.substr(0, colon));
    rest = colon == std::string_view::npos ? std::string_view() : authority.substr(colon);
  }
  if (out.host.empty()) return std::nullopt;
  if (!rest.empty()) {
    if (rest.front() != ':' || rest.size() < 2 || rest.size() > 6) return std::nullopt;
    int port = 0;
    for (char c : rest.substr(1)) {
      if (c < '0' || c > '9') return std::nullopt;
      port = port * 10 + (c - '0');
    }
    if (port < 1 || port > 65535) return std::nullopt;
    out.port = port;
  }
  return out;
}

}  // namespace

bool BrandHosts::allows(std::string_view url) {
  auto env = app().env();
  if (!env) return false;
  return allows(
      url, {env->WebDomain(), env->H5Domain(), env->Q4ServiceDomain(), env->Q5ServiceDomain()});
}

bool BrandHosts::allows(std::string_view url, const std::vector<std::string>& domains) {
  const size_t sep = url.find("://");
  if (sep == std::string_view::npos) return false;
  const std::string scheme = lower(url.substr(0, sep));
  int defaultPort;
  if (scheme == "http") {
    defaultPort = 80;
  } else if (scheme == "https") {
    defaultPort = 443;
  } else {
    return false;
  }
  std::string_view authority = url.substr(sep + 3);
  authority = authority.substr(0, authority.find_first_of("/?#\\"));
  // User information is not part of the host ("http://brand@evil" is evil's).
  if (const size_t at = authority.rfind('@'); at != std::string_view::npos)
    authority = authority.substr(at + 1);
  const auto target = splitHostPort(authority);
  if (!target) return false;
  const int port = target->port.value_or(defaultPort);
  for (const auto& domain : domains) {
    const auto allowed = splitHostPort(domain);
    if (!allowed || allowed->host != target->host) continue;
    if (allowed->port && *allowed->port != port) continue;
    return true;
  }
  return false;
}
