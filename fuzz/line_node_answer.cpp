// Line list answers: any body either fails to map or gives lists in which every node has an area
// id; the chosen line is one of the listed nodes (none only for an empty list), the stored lines
// read back, and a flag name never keeps a file extension.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Sections/Line/HLNetLineNodeManage.h"

namespace {

AppUserDefaults& defaults() {
  static AppUserDefaults d(std::make_shared<platform::defaults::Store>(
      std::filesystem::temp_directory_path() /
      ("line_node_answer-" + std::to_string(::getpid()) + ".json")));
  return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  auto answer = tq::fromJSON<JVX_RESP_RULE_GET_EXIT_SET>(body);
  if (!answer) return 0;
  HLNetLineNodeManage manager(defaults(), [] { return std::optional<int64_t>(1); });
  manager.applyAnswer(*answer);
  for (const auto& node : manager.allNetNodes()) {
    if (!node->areaId) std::abort();
  }
  if (manager.allNetNodeGroups().empty() || !manager.allNetNodeGroups()[0]->isAll()) std::abort();
  const auto& chosen = manager.selectedNetNode();
  if (manager.allNetNodes().empty() != (chosen == nullptr)) std::abort();
  auto stored = defaults().selectedNetNode();
  if ((stored == nullptr) != (chosen == nullptr)) std::abort();
  if (stored && !stored->sameArea(*chosen)) std::abort();
  manager.netNodesInselectedGroup();
  return 0;
}
