#pragma once
// Localised texts by key. The application installs its translation table at start; a key with
// no entry answers the key itself.
#include <map>
#include <string>
#include <string_view>

namespace gelmora {

std::string localizedString(std::string_view key);
void setLocalizationTable(std::map<std::string, std::string, std::less<>> table);

}  // namespace gelmora
