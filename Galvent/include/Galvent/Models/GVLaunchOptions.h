#pragma once
// Start options of one tunnel run, passed from the application to the tunnel process.

#include <optional>
#include <string_view>
#include <variant>

#include "Galvent/Models/GVQ5Session.h"
#include "Galvent/Models/GVTsSession.h"
#include "Galvent/Models/GVTunnelOptions.h"

struct GVLaunchOptions : TQAPIModel {
  std::optional<GVTunnelOptions> tunnelOptions;
  std::optional<GVTsSession> tssession;
  std::optional<GVQ5Session> q5session;

  bool operator==(const GVLaunchOptions&) const = default;
  static constexpr auto fields() {
    using L = GVLaunchOptions;
    return std::make_tuple(tq::field("tunnelOptions", &L::tunnelOptions),
                           tq::field("tssession", &L::tssession),
                           tq::field("q5session", &L::q5session));
  }

  // The session the run uses: the line service's when both are present.
  using Session = std::variant<std::monostate, const GVTsSession*, const GVQ5Session*>;
  Session activeSession() const;

  // Reads start options from another process and installs their tunnel options as the
  // process's current options (absent ones leave the defaults). Nothing for input that is
  // not a JSON object or does not map; nothing is installed then.
  static std::optional<GVLaunchOptions> installFromDictionary(const nlohmann::json& dict,
                                                              TQError* error = nullptr);
  static std::optional<GVLaunchOptions> installFromJSON(std::string_view text,
                                                        TQError* error = nullptr);
};
