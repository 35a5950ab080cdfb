#pragma once
// What the older main window's start, stop, heartbeat and speed logic share: its state fields
// (atomics, since the worker threads read and write them) and the window's side (called on the
// main queue only).
#include <atomic>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

struct LegacyMainState {
  // 1 stopped, 2 starting, 3 running.
  std::atomic<int> speedState{1};
  std::atomic<int> speedProgress{0};
  std::atomic<int> showSpeedProgress{0};
  std::atomic<int> heartBeatErrorTimes{0};
  std::atomic<int> userStatus{0};
  std::atomic<std::int64_t> lastUpLimit{0};
  std::atomic<std::int64_t> lastDownLimit{0};
};

class LegacyMainView {
 public:
  virtual ~LegacyMainView() = default;
  // A sheet with one "确定" button; `closed` (may be empty) runs when it is dismissed.
  virtual void showAlert(const std::string& message, const std::string& info,
                         std::function<void()> closed) = 0;
  // Starting: control disabled, "正在启动加速 ..."; idle: control enabled, "启动加速".
  virtual void setStartControl(bool starting) = 0;
  virtual void setProgressText(const std::string& text) = 0;
  // The left menu's speed entry (tab by state).
  virtual void showSpeedTab() = 0;
  virtual void setSpeedTexts(const std::string& up, const std::string& down,
                             const std::string& upTotal, const std::string& downTotal) = 0;
  // updatePacketContent with a reply.
  virtual void applyReply(const nlohmann::json& reply) = 0;
  // ShowMessageBoxOfPublic with a reply.
  virtual void showPopup(const std::optional<nlohmann::json>& reply) = 0;
};
