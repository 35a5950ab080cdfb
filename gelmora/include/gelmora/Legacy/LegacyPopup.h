#pragma once
// The pop-up that an older service reply asks for (account exception, notice with buttons, plain
// notice), read from the reply on any thread; the window shows it on the main queue.
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

struct LegacyPopupButton {
  std::string action;
  std::string text;
  std::optional<std::string> url;
};

struct LegacyPopup {
  enum class Kind {
    None,              // nothing to show
    AccountException,  // code 101: stop, sign out after the sheet
    Plain,             // one "确定" button
    Buttons,           // informational, one or two buttons (answers 1000, 1001)
  };
  Kind kind = Kind::None;
  std::string title;    // message text
  std::string content;  // informative text
  LegacyPopupButton first;
  LegacyPopupButton second;
  bool hasSecond = false;

  // `consoleLine` receives "data 数据为空" for a code-0 reply without data.
  static LegacyPopup fromReply(const std::optional<nlohmann::json>& reply,
                               std::string* consoleLine = nullptr);

  // What a button of a Buttons pop-up does.
  enum class Action { Nothing, Recharge, OpenUrl };
  struct Effect {
    Action action = Action::Nothing;
    std::string url;
  };
  // 1000: the first button, 1001: the second; urls only when http or https.
  Effect effectOf(long response) const;
};
