#include "Galvent/Models/GVLaunchOptions.h"

#include <memory>

GVLaunchOptions::Session GVLaunchOptions::activeSession() const {
  if (tssession) return &*tssession;
  if (q5session) return &*q5session;
  return std::monostate{};
}

std::optional<GVLaunchOptions> GVLaunchOptions::installFromDictionary(const nlohmann::json& dict,
                                                                      TQError* error) {
  auto options = tq::fromDictionary<GVLaunchOptions>(dict, error);
  if (!options) return std::nullopt;
  if (options->tunnelOptions)
    GVTunnelOptions::setCurrentOptions(
        std::make_shared<const GVTunnelOptions>(*options->tunnelOptions));
  return options;
}

std::optional<GVLaunchOptions> GVLaunchOptions::installFromJSON(std::string_view text,
                                                                TQError* error) {
  nlohmann::json dict;
  if (!tq::parseJSON(text, dict, error)) return std::nullopt;
  return installFromDictionary(dict, error);
}
