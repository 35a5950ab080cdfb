#pragma once
// Page commands of the older web windows (the page's window.external calls), carried out over
// the older main window's operations. Main thread.
#include <optional>
#include <string>

// What the pages reach of the older main window.
class LegacyMainPort {
 public:
  virtual ~LegacyMainPort() = default;
  virtual void showWebWindow(const std::string& token) = 0;
  virtual void showWebDialog(const std::string& text) = 0;
  virtual void switchSpeedView() = 0;
  virtual void setClipboard(const std::string& text) = 0;
  virtual void rechargeDone() = 0;
};

enum class LegacyWebVariant { FeedBackB, Feedback, MyOrder, Question, Recharge, Share };

struct LegacyPageResult {
  bool close = false;                // the own window closes
  std::optional<std::string> title;  // Share's "SetWindowTitle"
  bool known = false;                // the name was a command
};

namespace LegacyPageCommands {

// Whether the variant offers "InvokeFromJavascriptWithReturn" (and logs each call).
bool hasWithReturn(LegacyWebVariant v);
// The page key of TsParamsDirectory the variant loads.
const char* pageKey(LegacyWebVariant v);
const char* className(LegacyWebVariant v);
// The window's title: the title the main window's window table gives the page it shows
// (FeedBackB shows a feedback page: "意见反馈").
std::string title(LegacyWebVariant v);

// Carries out one command; `main` is the loaded older main window, or none. `withReturn`: the
// call came through "InvokeFromJavascriptWithReturn". Unknown names, and "ShowWindow" values
// that are no JSON object, do nothing (a bad value is logged).
LegacyPageResult dispatch(LegacyWebVariant v, const std::string& name, const std::string& value,
                          LegacyMainPort* main, bool withReturn = false);

}  // namespace LegacyPageCommands
