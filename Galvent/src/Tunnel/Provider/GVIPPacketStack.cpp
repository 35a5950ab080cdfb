#include "Galvent/Tunnel/Provider/GVIPPacketStack.h"

#include <fstream>
#include <mutex>
#include <sstream>

#include "Galvent/Logger/GVLogger.h"
#include "Galvent/Models/GVTunnelOptions.h"
#include "Mazzle/MZHelper.h"
#include "platform/dispatch/Queue.h"

using platform::netext::IPv4Route;

namespace {
std::mutex g_resourcesMutex;
std::filesystem::path g_resources;
}  // namespace

std::shared_ptr<GVIPPacketStack> GVIPPacketStack::initWithOptions(const nlohmann::json& options) {
  return initWithOptions(options, &GVPacketProxy::packetProxyWith);
}

std::shared_ptr<GVIPPacketStack> GVIPPacketStack::initWithOptions(const nlohmann::json& options,
                                                                  const ProxyFactory& factory) {
  std::shared_ptr<GVIPPacketStack> stack(new GVIPPacketStack());
  if (factory) stack->proxy_ = factory(options, stack);
  return stack;
}

bool GVIPPacketStack::inputPacket(std::span<const uint8_t> packet, int /*version*/) {
  return proxy_ ? proxy_->inputPacket(packet) : false;
}

MZIPStackProtocol::WholeOffer GVIPPacketStack::offerWhole(std::span<uint8_t> packet,
                                                          const platform::netext::Offload&) {
  if (!proxy_) return WholeOffer::kNotMine;
  return proxy_->passesDown(packet) ? WholeOffer::kNotMine : WholeOffer::kSegments;
}

void GVIPPacketStack::start() {
  // Flow groups start on the main queue.
  if (auto proxy = proxy_) platform::dispatch::postToMain([proxy] { proxy->start(); });
}

void GVIPPacketStack::stop() {
  if (auto proxy = proxy_) platform::dispatch::postToMain([proxy] { proxy->stop(); });
}

void GVIPPacketStack::incomingIPPacket(std::vector<uint8_t> packet, GVPacketProxy&) {
  output(std::move(packet), 2);
}

const std::map<std::string, std::string>& GVIPPacketStack::maskDict() {
  static const std::map<std::string, std::string> table = [] {
    std::map<std::string, std::string> t;
    for (int len = 0; len <= 32; ++len) {
      uint32_t mask = len == 0 ? 0 : 0xffffffffu << (32 - len);
      t[std::to_string(len)] = MZHelper::ipv4LiteralFromAddr(mask);
    }
    return t;
  }();
  return table;
}

std::optional<IPv4Route> GVIPPacketStack::routeWithIPString(std::string_view line) {
  // Tolerate the line ends and blanks of hand-edited files.
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
    line.remove_suffix(1);
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (;;) {
    size_t slash = line.find('/', start);
    parts.push_back(line.substr(start, slash == std::string_view::npos ? slash : slash - start));
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  if (parts[0].empty()) return std::nullopt;
  IPv4Route route{std::string(parts[0]), maskDict().at("32")};
  if (parts.size() == 2) {
    auto it = maskDict().find(std::string(parts[1]));
    if (it != maskDict().end()) route.destinationSubnetMask = it->second;
  }
  return route;
}

std::vector<IPv4Route> GVIPPacketStack::routesFromText(std::string_view text) {
  std::vector<IPv4Route> routes;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    auto line =
        text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (auto route = routeWithIPString(line)) routes.push_back(std::move(*route));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return routes;
}

void GVIPPacketStack::setResourcesDirectory(std::filesystem::path dir) {
  std::lock_guard lock(g_resourcesMutex);
  g_resources = std::move(dir);
}

std::filesystem::path GVIPPacketStack::resourcesDirectory() {
  std::lock_guard lock(g_resourcesMutex);
  return g_resources;
}

std::vector<IPv4Route> GVIPPacketStack::loadRoutesFromFile(const std::string& fileName) {
  // Only a plain name inside the resources folder.
  if (fileName.empty() || fileName.find('/') != std::string::npos || fileName == "." ||
      fileName == "..")
    return {};
  auto dir = resourcesDirectory();
  if (dir.empty()) return {};
  std::ifstream in(dir / fileName, std::ios::binary);
  if (!in) return {};
  std::ostringstream text;
  text << in.rdbuf();
  return routesFromText(text.str());
}

std::vector<IPv4Route> GVIPPacketStack::loadLocalWhiteRoutes() const {
  auto options = GVTunnelOptions::currentOptions();
  return options && options->whiteRouteFile ? loadRoutesFromFile(*options->whiteRouteFile)
                                            : std::vector<IPv4Route>{};
}

std::vector<IPv4Route> GVIPPacketStack::loadLoccalBlackRoutes() const {
  auto options = GVTunnelOptions::currentOptions();
  return options && options->blackRouteFile ? loadRoutesFromFile(*options->blackRouteFile)
                                            : std::vector<IPv4Route>{};
}

std::vector<IPv4Route> GVIPPacketStack::privateIPRoutes() {
  return {{"10.0.0.0", "255.0.0.0"},     {"100.64.0.0", "255.192.0.0"},
          {"127.0.0.0", "255.0.0.0"},    {"169.254.0.0", "255.255.0.0"},
          {"172.16.0.0", "255.240.0.0"}, {"192.168.0.0", "255.255.0.0"}};
}

platform::netext::NetworkSettings GVIPPacketStack::tunnelNetworkSetting() const {
  auto options = GVTunnelOptions::currentOptions();
  platform::netext::NetworkSettings settings;
  settings.tunnelRemoteAddress = "127.0.0.1";
  platform::netext::IPv4Settings v4;
  v4.addresses = {"192.0.2.1"};
  v4.subnetMasks = {"255.255.255.0"};
  v4.includedRoutes.push_back(IPv4Route::defaultRoute());
  if (proxy_)
    for (const auto& r : proxy_->whiteRoutes()) v4.includedRoutes.push_back({r.address, r.mask});
  for (auto& r : loadLocalWhiteRoutes()) v4.includedRoutes.push_back(std::move(r));
  v4.excludedRoutes = privateIPRoutes();
  if (proxy_)
    for (const auto& r : proxy_->blackRoutes()) v4.excludedRoutes.push_back({r.address, r.mask});
  for (auto& r : loadLoccalBlackRoutes()) v4.excludedRoutes.push_back(std::move(r));
  const size_t excluded = v4.excludedRoutes.size(), included = v4.includedRoutes.size();
  settings.ipv4Settings = std::move(v4);
  platform::netext::DNSSettings dns;
  dns.servers = {options && options->settingDnsServer ? *options->settingDnsServer : "198.18.0.1"};
  dns.matchDomains = {""};
  dns.matchDomainsNoSearch = false;
  settings.dnsSettings = std::move(dns);
  GVLogInfo("Load excludedRoutes " + std::to_string(excluded));
  GVLogInfo("Load includedRoutes " + std::to_string(included));
  if (options && options->MTU) settings.mtu = *options->MTU;
  return settings;
}
