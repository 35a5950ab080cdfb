#include "gelmora/Legacy/LegacyPageQuery.h"

#include "gelmora/Legacy/LegacyJson.h"
#include "gelmora/Service/Tools/Crypto.h"
#include "gelmora/Service/Tools/TsStringHelper.h"

namespace LegacyPageQuery {

std::string pageQuery(std::string_view osVersion, std::string_view clientVersion,
                      std::string_view mac, std::int32_t uid) {
  std::string q = "system_name=macOS";
  q += "&os_version=" + TsStringHelper::urlEncode(osVersion);
  q += "&client_version=" + TsStringHelper::urlEncode(clientVersion);
  q += "&system_plat=pc";
  q += "&mac=" + TsStringHelper::urlEncode(mac);
  q += "&uid=" + std::to_string(uid);
  q += "&Language=zh-CN";
  q += "&wx_installed=0";
  return q;
}

std::string loginCode(std::string_view query) {
  return TsStringHelper::urlEncode(Crypto::encryptedStringOfString(query));
}

std::string pageSuffix(std::string_view code) { return "?is_pc=1&logincode=" + std::string(code); }

std::string withScheme(std::string_view address) {
  if (address.find("://") != std::string_view::npos) return std::string(address);
  return "http://" + std::string(address);
}

WindowPage windowPage(Window w, const Inputs& in) {
  switch (w) {
    case Window::Share:
      return {withScheme(in.host + "/account/invitation" + in.suffix), "", "邀请好友", 650, 680};
    case Window::Recharge: {
      std::string base = in.defaultTopupBase;
      if (in.payList && in.payList->is_array() && !in.payList->empty()) {
        if (auto first = LegacyJson::text((*in.payList)[0])) base = *first;
      }
      return {withScheme(base + "/package" + in.suffix), "", "立即充值", 1100, 670};
    }
    case Window::Question:
      return {withScheme(in.host + "/help/baike-list?platform=OSX"), "url_question", "问题百科",
              500, 500};
    case Window::Feedback:
      return {in.supportChat, "url_feedback", "意见反馈", 500, 584};
    case Window::MyOrder:
      return {withScheme(in.host + "/account/order-list" + in.suffix), "url_myprder", "我的订单",
              650, 680};
  }
  return {};
}

std::optional<Window> windowForToken(std::string_view token) {
  if (token == "OpenFeedbackWindow") return Window::Feedback;
  if (token == "OpenRechargeWindow") return Window::Recharge;
  if (token == "OpenQuestionWindow") return Window::Question;
  if (token == "OpenMyOrderWindow") return Window::MyOrder;
  if (token == "OpenShareWindow") return Window::Share;
  return std::nullopt;
}

}  // namespace LegacyPageQuery
