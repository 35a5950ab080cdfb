#pragma once
// The shop's purchase model: the packages the service offers and the store sells, and one
// purchase from the service's order through the store's payment to the receipt upload. Every
// operation answers a cold signal; main queue only. A paid purchase is never lost: the store layer
// keeps it pending beside the receipt until the service has accepted an upload of that receipt.
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "platform/reactive/Property.h"
#include "platform/reactive/Signal.h"
#include "platform/storekit/StoreKit.h"

class TsUserController;

// The error of a payment the store reports failed without an error of its own (code 0).
inline constexpr const char* TsStoreTransactionFailedDomain = "StoreTransactionStateFailed";

class TsIAPShopViewModel : public std::enable_shared_from_this<TsIAPShopViewModel> {
 public:
  using Unit = platform::reactive::Unit;

  // The user whose uid the calls carry; the receipt where the store leaves it (none: its usual
  // place). The store's back end is StoreShare's.
  static std::shared_ptr<TsIAPShopViewModel> create(
      TsUserController& user, std::optional<std::filesystem::path> receipt = std::nullopt);

  // In the order of the service's identifier list; replaced whole by each completed fetch.
  const std::vector<storekit::Product>& products() const { return products_; }
  const platform::reactive::Property<bool>& loading() const { return loading_; }

  // Completes once products() was replaced; errs with the identifier call's error.
  platform::reactive::Signal<Unit> fetchProducts();
  // Completes once the order was made, the store reported the payment purchased and the service
  // accepted the receipt; errs at the first failing step.
  platform::reactive::Signal<Unit> buyProduct(const storekit::Product& product);
  // Uploads the store receipt; the service's answer, or an error (no receipt: local 1001).
  platform::reactive::Signal<nlohmann::json> checkReceipt();

 private:
  TsIAPShopViewModel(TsUserController& user, std::filesystem::path receipt);
  int64_t uid() const;

  TsUserController& user_;
  std::filesystem::path receipt_;
  std::vector<storekit::Product> products_;
  platform::reactive::Property<bool> loading_{false};
};
