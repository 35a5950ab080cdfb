#include "gelmora/Legacy/LegacyPopup.h"

#include "gelmora/Legacy/LegacyJson.h"

namespace {

std::optional<std::string> textAt(const nlohmann::json& obj, const char* key) {
  const nlohmann::json* v = LegacyJson::member(obj, key);
  return v ? LegacyJson::text(*v) : std::nullopt;
}

bool isWebAddress(const std::string& url) {
  return url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0;
}

}  // namespace

LegacyPopup LegacyPopup::fromReply(const std::optional<nlohmann::json>& reply,
                                   std::string* consoleLine) {
  LegacyPopup p;
  if (!reply || !reply->is_object()) return p;
  long long code = 0;
  if (const auto* c = LegacyJson::member(*reply, "code"))
    code = LegacyJson::integer(*c).value_or(0);
  const nlohmann::json* data = LegacyJson::member(*reply, "data");
  if (data && !data->is_object()) data = nullptr;

  if (code == 101) {
    p.kind = Kind::AccountException;
    p.title = "提示";
    if (auto t = data ? textAt(*data, "pop_content") : std::nullopt) {
      p.content = *t;
    } else if (auto i = textAt(*reply, "info")) {
      p.content = *i;
    } else {
      p.content = "您的账户发生异常，请及时修改密码";
    }
    return p;
  }
  if (code != 0) return p;
  if (!data) {
    if (consoleLine) *consoleLine = "data 数据为空";
    return p;
  }
  const nlohmann::json* pop = LegacyJson::member(*data, "pop");
  if (!pop || LegacyJson::integer(*pop).value_or(0) == 0) return p;
  p.title = textAt(*data, "pop_title").value_or("提示");
  p.content = textAt(*data, "pop_content").value_or("弹窗");

  const nlohmann::json* buttons = LegacyJson::member(*data, "buttons");
  if (buttons && buttons->is_array()) {
    // Slot 1 takes buttons until one gave it an action; every later button replaces slot 2.
    for (const auto& b : *buttons) {
      if (!b.is_object()) continue;
      LegacyPopupButton& slot = p.first.action.empty() ? p.first : p.second;
      slot.action = textAt(b, "action").value_or("");
      slot.text = textAt(b, "text").value_or("");
      if (auto u = textAt(b, "url")) slot.url = *u;
    }
  }
  if (p.first.action.empty()) {
    // No usable buttons: the plain notice with "确定".
    p.kind = Kind::Plain;
    p.first = {};
    p.second = {};
    return p;
  }
  p.kind = Kind::Buttons;
  p.hasSecond = !p.second.action.empty() && !p.second.text.empty();
  return p;
}

LegacyPopup::Effect LegacyPopup::effectOf(long response) const {
  if (kind != Kind::Buttons) return {};
  const LegacyPopupButton* slot = nullptr;
  if (response == 1000) slot = &first;
  if (response == 1001 && hasSecond) slot = &second;
  if (!slot) return {};
  if (slot->action.find("buy") != std::string::npos) return {Action::Recharge, {}};
  if (slot->action.find("http://") != std::string::npos && slot->url && isWebAddress(*slot->url)) {
    return {Action::OpenUrl, *slot->url};
  }
  return {};
}
