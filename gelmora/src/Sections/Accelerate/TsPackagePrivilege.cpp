#include "gelmora/Sections/Accelerate/TsPackagePrivilege.h"

namespace {

std::optional<std::string> textOf(const nlohmann::json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

}  // namespace

TsPackagePrivilege TsPackagePrivilege::fromJSON(const nlohmann::json& answer) {
  TsPackagePrivilege p;
  if (!answer.is_object()) return p;
  p.flowSize = textOf(answer, "flow_size");
  p.mobileLimit = textOf(answer, "mobile_limit");
  p.desktopLimit = textOf(answer, "desktop_limit");
  auto images = answer.find("images");
  if (images != answer.end() && images->is_array()) {
    for (const auto& entry : *images) {
      if (p.images.size() == kSlots) break;
      Item item;
      if (entry.is_object()) {
        item.image = textOf(entry, "image");
        item.name = textOf(entry, "name");
      }
      p.images.push_back(std::move(item));
    }
  }
  return p;
}
