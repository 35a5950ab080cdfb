// The dial-code list over any bytes: the first line is the locale's country, the rest the file.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ui/Sections/Login/TsCountryCodeProvider.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t cut = input.find('\n');
  const std::string_view country = cut == std::string_view::npos ? "" : input.substr(0, cut);
  const std::string_view text = cut == std::string_view::npos ? input : input.substr(cut + 1);
  TsCountryCodeProvider::ItemsMap map;
  auto items = TsCountryCodeProvider::loadAllItems(text, country, &map);
  // Every listed item is in the map under its key, and the other way round.
  if (items.size() != map.size()) __builtin_trap();
  for (const auto& item : items) {
    auto found = map.find(item->key);
    if (found == map.end() || found->second != item || item->countryCode.empty() ||
        item->countryCode[0] != '+')
      __builtin_trap();
  }
  return 0;
}
