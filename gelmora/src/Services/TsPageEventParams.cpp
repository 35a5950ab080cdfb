#include "gelmora/Services/TsPageEventParams.h"

TsEventParams::Pairs TsPageEventParams::dictionaryRepresentation() const {
  Pairs out = TsEventParams::dictionaryRepresentation();
  auto add = [&](const char* key, const std::optional<std::string>& v) {
    if (v) out.emplace_back(key, *v);
  };
  add("dh", hostName);
  add("dp", pagePath);
  add("dt", pageTitle);
  add("z", random);
  return out;
}
