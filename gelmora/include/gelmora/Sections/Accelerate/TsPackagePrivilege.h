#pragma once
// What the package strip reads from a privilege answer: three value texts and at most six
// pictures with names. Anything of the wrong kind is left out, never guessed.
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

struct TsPackagePrivilege {
  static constexpr size_t kSlots = 6;
  struct Item {
    std::optional<std::string> image;  // path on the web host
    std::optional<std::string> name;
  };
  std::optional<std::string> flowSize, mobileLimit, desktopLimit;
  std::vector<Item> images;  // at most kSlots

  static TsPackagePrivilege fromJSON(const nlohmann::json& answer);
};
