// Store server answers: products and payment updates are read or refused whole, never half.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/storekit/StoreKit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  std::string why;
  if (auto products = storekit::parseProductsAnswer(body, &why)) {
    for (const auto& p : products->products)
      if (p.productIdentifier.empty() || p.price.empty() || p.currency.size() != 3) std::abort();
  } else if (why.empty()) {
    std::abort();
  }
  why.clear();
  if (auto updates = storekit::parsePaymentsAnswer(body, &why)) {
    for (const auto& u : *updates) {
      int s = static_cast<int>(u.state);
      if (s < 0 || s > 4) std::abort();
      if (u.state == storekit::TransactionState::Purchased && !u.error && !u.receipt) std::abort();
    }
  } else if (why.empty()) {
    std::abort();
  }
  return 0;
}
