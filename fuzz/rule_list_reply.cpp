// The rule store's parse of a rule-list answer: any bytes, read as JSON when they are JSON, give
// the lists or one of the four failure texts; records stay zero-terminated inside their fields.
// Entrance and path probes are replaced, so nothing is sent.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>

#include "gelmora/Service/Params/TsParams.h"
#include "gelmora/Service/Speed/TsPathService.h"
#include "gelmora/Service/Tools/LOG.h"

namespace {

void setUp() {
  LOG::setConsoleSink([](const std::string&) {});
  TsParams::setUseddomain("http://older.example");
  const std::string table = "/tmp/rule-list-fuzz-" + std::to_string(::getpid()) + ".txt";
  std::ofstream(table, std::ios::binary | std::ios::trunc)
      << "16777216\t16777471\t1\t2\n3325256704\t3325256959\t1\t2\n3221225984\t3221226239\t7\t8\n";
  TsParams::updateAreaispListWithFile(table);
  ::unlink(table.c_str());

  // The real port probe runs, its datagrams replaced: ports below 100 stay silent, the others
  // answer after (port % 100) ms; draws are fixed so a run repeats.
  EntranceServer::setRandomSource([] { return 0u; });
  EntranceServer::setPortProber(
      [](const std::string&, std::uint16_t port) -> std::optional<std::int32_t> {
        if (port < 100) return std::nullopt;
        return port % 100;
      });
  TsParams::Probes probes;
  // Measuring starts a thread per distinct path; a few are enough to cover the hand-over.
  probes.measurePaths = [](const std::vector<EntranceServer>& entrances,
                           const std::vector<ExitServer>& exits) -> TsPathServiceSnapshot {
    if (entrances.size() * exits.size() > 8) return nullptr;
    auto service = std::make_shared<TsPathService>();
    for (const auto& e : entrances) {
      for (const auto& x : exits) service->addPath(e, x);
    }
    service->VelocityMeasurement();
    return service;
  };
  TsParams::setProbes(probes);
  TsPathService::Hooks hooks;
  hooks.probe = [](const TsPathObject& path, const std::vector<std::uint8_t>&) {
    return TsPathService::ProbeResult{static_cast<std::int32_t>(path.exit().addr().size() + 1), 0};
  };
  hooks.report = [](const std::string&, const std::string&) {};
  TsPathService::setHooks(hooks);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = (setUp(), true);
  (void)ready;
  std::string text(reinterpret_cast<const char*>(data), size);
  nlohmann::json reply = nlohmann::json::parse(text, nullptr, false);
  if (reply.is_discarded()) reply = text;

  static const std::set<std::string> kFailures = {
      "加速规则获取失败", "加速规则为空", "无可用入口服务器", "入口测试失败，无可用入口服务器"};
  auto failure = TsParams::updateWithRulelistReturnObject(reply);
  if (failure && !kFailures.count(*failure)) std::abort();

  for (const auto& w : TsParams::getWhiteArray()) {
    if (w.rule[sizeof w.rule - 1] != 0) std::abort();
  }
  for (const auto& d : TsParams::getDnsArray()) {
    if (d.server[sizeof d.server - 1] != 0 || d.domains[sizeof d.domains - 1] != 0) std::abort();
  }
  for (const auto& e : TsParams::getEntranceServerArray()) {
    if (e.delay() < 0 || e.delay() >= EntranceServer::kNoDelay || e.port() < 100) std::abort();
  }
  auto hooks = TsParams::kextHooks();
  for (std::uint32_t offset : {0u, 1u, 2u, 3u, 0xFFFFFFFFu}) (void)hooks.path(offset);
  // Drops the path service, which waits for its report thread, so no thread outlives the input.
  TsParams::resetRuleLists();
  return 0;
}
