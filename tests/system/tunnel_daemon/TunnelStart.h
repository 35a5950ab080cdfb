// Starting a tunnel on a running galvent-tunnel over its control socket, as the app does.
#pragma once

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/netext/ControlSocket.h"
#include "systest/Systest.h"

namespace tunnel_daemon_test {

// Connects `client` to the daemon's control socket and asks for a start with `options`: "" once
// the daemon reports the tunnel connected, else why not (with the daemon's output).
inline std::string startTunnel(platform::netext::ControlClient& client,
                               const std::string& controlPath, const nlohmann::json& options,
                               const systest::Process& daemon) {
  using namespace std::chrono_literals;
  using platform::netext::DaemonMessageKind;
  using platform::netext::VpnStatus;
  if (!systest::waitFor([&] { return client.connect(controlPath) == 0; }, 5s))
    return "the daemon never listened: " + daemon.log();
  if (client.send(platform::netext::ControlRequest::start(options)) != 0)
    return "cannot send start";
  const auto started = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - started < 10s) {
    auto m = client.receiveKind(DaemonMessageKind::Status, 1s);
    if (!m) continue;
    if (m->status == VpnStatus::Connected) return "";
    if (m->status == VpnStatus::Disconnected && m->error)
      return "start failed: " + m->error->description + "\n" + daemon.log();
  }
  return "no status 3 within 10 s:\n" + daemon.log();
}

}  // namespace tunnel_daemon_test
