#pragma once
// Data classes of an earlier flow-group design; nothing creates them, they carry no behaviour.
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

struct EntranceIP {
  std::string ip;
  std::int32_t port = 0;
  // Never equal: the earlier design compared nothing here.
  bool IsEqual(const EntranceIP&) const { return false; }
};

struct TsEntranceSerer {
  TsEntranceSerer() = default;
  TsEntranceSerer(std::string ip_, nlohmann::json portArray_)
      : ip(std::move(ip_)), portArray(std::move(portArray_)) {}
  std::string ip;
  nlohmann::json portArray = nlohmann::json::array();
};

struct TsExitServer {
  TsExitServer() = default;
  TsExitServer(std::string addr_, std::string nat_)
      : addr(std::move(addr_)), nat(std::move(nat_)) {}
  std::string addr;
  std::string nat;
};

struct TsPath {
  TsPath() = default;
  TsPath(TsEntranceSerer entrance, TsExitServer exit)
      : entranceServer(std::move(entrance)), exitServer(std::move(exit)) {}
  TsEntranceSerer entranceServer;
  TsExitServer exitServer;
  double delayA = 1000;
  double delayB = 3000;
  double lostB = 100;
  std::int32_t flowId = 0;
  std::int32_t flowLevel = 0;
};

struct TsFlowGroup {
  std::vector<TsEntranceSerer> entranceServerList;
  std::vector<TsExitServer> exitServerList;
  std::vector<TsPath> pathList;
  std::optional<TsPath> usedPath;
  // Placeholders of the earlier design: they change nothing.
  void UpdateEntranceServer(const nlohmann::json&) {}
  void UpdateExitServer(const nlohmann::json&) {}
};
