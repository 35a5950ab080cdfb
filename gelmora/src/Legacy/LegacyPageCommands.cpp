#include "gelmora/Legacy/LegacyPageCommands.h"

#include "gelmora/Legacy/LegacyJson.h"
#include "gelmora/Legacy/LegacyPageQuery.h"
#include "gelmora/Service/Tools/LOG.h"
#include "gelmora/Service/Tools/TsStringHelper.h"

namespace LegacyPageCommands {

bool hasWithReturn(LegacyWebVariant v) {
  return v == LegacyWebVariant::FeedBackB || v == LegacyWebVariant::Share;
}

const char* pageKey(LegacyWebVariant v) {
  switch (v) {
    case LegacyWebVariant::FeedBackB:
      return "url_feedbackB";
    case LegacyWebVariant::Feedback:
      return "url_feedback";
    case LegacyWebVariant::MyOrder:
      return "url_myprder";
    case LegacyWebVariant::Question:
      return "url_question";
    case LegacyWebVariant::Recharge:
      return "url_recharge";
    case LegacyWebVariant::Share:
      return "url_share";
  }
  return "";
}

std::string title(LegacyWebVariant v) {
  using W = LegacyPageQuery::Window;
  W w = W::Feedback;
  switch (v) {
    case LegacyWebVariant::FeedBackB:
    case LegacyWebVariant::Feedback:
      w = W::Feedback;
      break;
    case LegacyWebVariant::MyOrder:
      w = W::MyOrder;
      break;
    case LegacyWebVariant::Question:
      w = W::Question;
      break;
    case LegacyWebVariant::Recharge:
      w = W::Recharge;
      break;
    case LegacyWebVariant::Share:
      w = W::Share;
      break;
  }
  return LegacyPageQuery::windowPage(w, {}).title;
}

const char* className(LegacyWebVariant v) {
  switch (v) {
    case LegacyWebVariant::FeedBackB:
      return "FeedBackB";
    case LegacyWebVariant::Feedback:
      return "Feedback";
    case LegacyWebVariant::MyOrder:
      return "MyOrder";
    case LegacyWebVariant::Question:
      return "Question";
    case LegacyWebVariant::Recharge:
      return "Recharge";
    case LegacyWebVariant::Share:
      return "Share";
  }
  return "";
}

LegacyPageResult dispatch(LegacyWebVariant v, const std::string& name, const std::string& value,
                          LegacyMainPort* main, bool withReturn) {
  const bool recharge = v == LegacyWebVariant::Recharge;
  LegacyPageResult r;
  if (name == "ShowWindow") {
    r.known = true;
    auto decoded = TsStringHelper::jsonDecode(value);
    if (!decoded || !decoded->is_object()) {
      LOG::console("ShowWindow: value is no JSON object, ignored");
      return r;
    }
    if (const auto* token = LegacyJson::member(*decoded, "window_token")) {
      if (auto t = LegacyJson::text(*token)) {
        if (main) main->showWebWindow(*t);
      } else {
        LOG::console("ShowWindow: window_token is no text, ignored");
      }
    }
    if (const auto* c = LegacyJson::member(*decoded, "close_current_window")) {
      if (LegacyJson::truth(*c)) {
        if (recharge && main) main->rechargeDone();
        r.close = true;
      }
    }
    return r;
  }
  if (name == "ShowWebDialog") {
    r.known = true;
    if (main) main->showWebDialog(value);
    if (recharge && main) main->rechargeDone();
    r.close = true;
    return r;
  }
  if (name == "CloseWindow") {
    r.known = true;
    if (recharge && main) main->rechargeDone();
    r.close = true;
    return r;
  }
  if (name == "SwitchSpeedView") {
    r.known = true;
    if (main) main->switchSpeedView();
    if (recharge && main) main->rechargeDone();
    r.close = true;
    return r;
  }
  if (name == "SetClipboard") {
    r.known = true;
    if (main) main->setClipboard(value);
    return r;
  }
  if (name == "SetWindowTitle" && v == LegacyWebVariant::Share && !withReturn) {
    r.known = true;
    if (!value.empty()) r.title = value;
    return r;
  }
  return r;
}

}  // namespace LegacyPageCommands
