#pragma once
// HTTP proxy adapter whose data is masked byte by byte.

#include "Mazzle/MZHTTPAdapter.h"

class GVHTTPAdapter : public MZHTTPAdapter {
 public:
  static constexpr uint8_t kMask = 0x5a;
  using MZHTTPAdapter::MZHTTPAdapter;
  std::vector<uint8_t> encodeData(std::span<const uint8_t> data) override;
};

class GVHTTPAdapterFactory : public MZHTTPAdapterFactory {
 public:
  using MZHTTPAdapterFactory::MZHTTPAdapterFactory;
  std::unique_ptr<MZAdapter> getAdapterForSession(const MZConnectSession& session) override;
};
