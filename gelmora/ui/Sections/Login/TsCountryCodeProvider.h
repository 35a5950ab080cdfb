#pragma once
// The dial-code list: one item per country of "Codes.json", sorted by name, the country of the
// user's locale moved to the top. The shared provider reads the resource ":/Codes.json" once;
// the loader is a pure function over the JSON text and a country code, free of Qt.
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ui/Sections/Login/TsCountryCodeItem.h"

class TsCountryCodeProvider {
 public:
  using ItemPtr = std::shared_ptr<const TsCountryCodeItem>;
  using Items = std::vector<ItemPtr>;
  using ItemsMap = std::map<std::string, ItemPtr, std::less<>>;

  // Created and loaded on first use (thread-safe), for the whole run.
  static TsCountryCodeProvider& sharedInstance();

  // Loads `jsonText`; `localeCountry` is the locale's country code (any case, may be empty).
  TsCountryCodeProvider(std::string_view jsonText, std::string_view localeCountry);

  const Items& items() const { return items_; }
  void setItems(Items items) { items_ = std::move(items); }
  const ItemsMap& itemsMap() const { return itemsMap_; }
  void setItemsMap(ItemsMap map) { itemsMap_ = std::move(map); }

  // The list of `jsonText` (an object of key -> [name, ..., dial code]): members whose value is
  // not a non-empty array, or whose name or code is neither text nor number, are skipped; text
  // that is not a JSON object gives an empty list. Fills `map` when given.
  static Items loadAllItems(std::string_view jsonText, std::string_view localeCountry,
                            ItemsMap* map = nullptr);

 private:
  Items items_;
  ItemsMap itemsMap_;
};
