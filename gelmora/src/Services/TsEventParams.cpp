#include "gelmora/Services/TsEventParams.h"

namespace {
void add(TsEventParams::Pairs& out, const char* key, const std::optional<std::string>& v) {
  if (v) out.emplace_back(key, *v);
}
}  // namespace

TsEventParams::Pairs TsEventParams::dictionaryRepresentation() const {
  Pairs out;
  add(out, "t", hitType);
  add(out, "ec", category);
  add(out, "ea", action);
  add(out, "el", label);
  add(out, "cd2", cid);
  add(out, "cd3", uid);
  return out;
}
