// The area and ISP table: any line gives an item or none; any file loads.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "gelmora/Service/Params/TsParams.h"
#include "gelmora/Service/Tools/LOG.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = [] {
    LOG::setConsoleSink([](const std::string&) {});
    return "/tmp/area-isp-fuzz-" + std::to_string(::getpid()) + ".txt";
  }();
  std::string text(reinterpret_cast<const char*>(data), size);
  if (auto item = AreaispItem::fromLine(text); item && item->ip.find('-') == std::string::npos) {
    std::abort();
  }
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  TsParams::updateAreaispListWithFile(path);
  for (const auto& item : TsParams::getAreaispList()) {
    (void)TsParams::getIPListFromAreaisp(item.area, item.isp);
  }
  ::unlink(path.c_str());
  return 0;
}
