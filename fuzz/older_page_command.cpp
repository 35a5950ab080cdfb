// One page command of the older web windows, for every variant, with and without a main window:
// the first line of the input is the command name, the rest its value.
#include <cstddef>
#include <cstdint>
#include <string>

#include "gelmora/Legacy/LegacyPageCommands.h"
#include "gelmora/Service/Tools/LOG.h"

namespace {
class NullMain : public LegacyMainPort {
 public:
  void showWebWindow(const std::string&) override {}
  void showWebDialog(const std::string&) override {}
  void switchSpeedView() override {}
  void setClipboard(const std::string&) override {}
  void rechargeDone() override {}
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = [] {
    LOG::setConsoleSink([](const std::string&) {});
    return true;
  }();
  (void)quiet;
  std::string in(reinterpret_cast<const char*>(data), size);
  auto nl = in.find('\n');
  std::string name = in.substr(0, nl);
  std::string value = nl == std::string::npos ? std::string() : in.substr(nl + 1);
  NullMain main;
  for (auto v : {LegacyWebVariant::FeedBackB, LegacyWebVariant::Feedback, LegacyWebVariant::MyOrder,
                 LegacyWebVariant::Question, LegacyWebVariant::Recharge, LegacyWebVariant::Share}) {
    (void)LegacyPageCommands::dispatch(v, name, value, &main, false);
    (void)LegacyPageCommands::dispatch(v, name, value, nullptr, true);
  }
  return 0;
}
