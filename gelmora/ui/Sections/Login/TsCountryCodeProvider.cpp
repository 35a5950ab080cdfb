#include "ui/Sections/Login/TsCountryCodeProvider.h"

#include <algorithm>
#include <cctype>
#include <nlohmann/json.hpp>
#include <optional>

namespace {

// A name or dial code as it stands in the file: text as is, a number as JSON writes it.
std::optional<std::string> element(const nlohmann::json& v) {
  if (v.is_string()) return v.get<std::string>();
  if (v.is_number()) return v.dump();
  return std::nullopt;
}

}  // namespace

TsCountryCodeProvider::TsCountryCodeProvider(std::string_view jsonText,
                                             std::string_view localeCountry) {
  items_ = loadAllItems(jsonText, localeCountry, &itemsMap_);
}

TsCountryCodeProvider::Items TsCountryCodeProvider::loadAllItems(std::string_view jsonText,
                                                                 std::string_view localeCountry,
                                                                 ItemsMap* map) {
  Items list;
  ItemsMap byKey;
  const auto doc = nlohmann::json::parse(jsonText, nullptr, /*allow_exceptions=*/false);
  if (doc.is_object()) {
    struct Entry {
      std::string key, name, code;
    };
    std::vector<Entry> entries;
    for (auto it = doc.begin(); it != doc.end(); ++it) {
      const auto& v = it.value();
      if (!v.is_array() || v.empty()) continue;
      auto name = element(v.front());
      auto code = element(v.back());
      if (!name || !code) continue;
      entries.push_back({it.key(), std::move(*name), std::move(*code)});
    }
    // By name, byte by byte (case-sensitive, not locale-aware); equal names keep key order.
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.name < b.name; });
    int64_t index = 0;
    for (auto& e : entries) {
      auto item = std::make_shared<TsCountryCodeItem>();
      item->key = e.key;
      item->countryName = std::move(e.name);
      item->countryCode = "+" + e.code;
      item->index = index++;
      byKey[item->key] = item;
      list.push_back(std::move(item));
    }
  }
  std::string country(localeCountry);
  for (auto& c : country) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (auto found = byKey.find(country); found != byKey.end()) {
    auto at = std::find(list.begin(), list.end(), found->second);
    std::rotate(list.begin(), at, at + 1);
  }
  if (map) *map = std::move(byKey);
  return list;
}
