// Rule files from the network: scrambled text -> unscrambled bytes -> JSON -> the rule-file
// model, then merged into start information as a start would.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "Galvent/VPN/GVQ5VPNController.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  TQError error;
  auto file = GVQ5RuleFile::decode(text, &error);
  if (!file) {
    if (error.description.empty()) __builtin_trap();  // a refusal always says why
    return 0;
  }
  // The file's own groups as the answer: every group with an id survives the merge.
  PXA_SPEED_START_NOCACHE_INFO answer;
  answer.config.emplace();
  answer.config->vni_array = file->vni_array;
  auto info = GVQ5RuleFile::merge(answer, *file, "fuzz");
  size_t withId = 0;
  if (file->vni_array) {
    for (const auto& g : *file->vni_array) withId += g.id ? 1 : 0;
  }
  if (!info.vni_array || info.vni_array->size() != withId) __builtin_trap();
  return 0;
}
