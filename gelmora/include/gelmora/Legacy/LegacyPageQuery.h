#pragma once
// Page addresses of the older main window's web windows: the page query that identifies client
// and user, its scrambled login code, and the table of the five windows.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace LegacyPageQuery {

// "system_name=macOS&os_version=..&client_version=..&system_plat=pc&mac=..&uid=..&Language=zh-CN
// &wx_installed=0", the three machine values percent-encoded.
std::string pageQuery(std::string_view osVersion, std::string_view clientVersion,
                      std::string_view mac, std::int32_t uid);
// The query scrambled by the older scrambler, then percent-encoded.
std::string loginCode(std::string_view query);
// "?is_pc=1&logincode=<code>".
std::string pageSuffix(std::string_view loginCode);
// "http://" in front of an address without a scheme (as the older layer sends its requests).
std::string withScheme(std::string_view address);

enum class Window { Share, Recharge, Question, Feedback, MyOrder };

struct Inputs {
  std::string host;                       // the older layer's host in use
  std::optional<nlohmann::json> payList;  // stored "pay_list"
  std::string defaultTopupBase;           // brand setting
  std::string supportChat;                // brand setting: live-support chat page
  std::string suffix;                     // pageSuffix(...)
};

struct WindowPage {
  std::string address;
  std::string storeKey;  // key of TsParamsDirectory the address is written to; empty: none
  std::string title;
  int width = 0;
  int height = 0;
};

WindowPage windowPage(Window w, const Inputs& in);
// The window a page's "window_token" names (exact, case-sensitive), none for any other text.
std::optional<Window> windowForToken(std::string_view token);

}  // namespace LegacyPageQuery
