#pragma once
// The store layer of the app: products and payments from a store server, and the receipt the
// store leaves beside the app's data. Every answer reaches the caller on the main queue.
#include <Tovra/Base/TQConstants.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace storekit {

// Errors the store layer makes itself (a store's own error travels unchanged).
inline constexpr const char* StoreErrorDomain = "StoreKitErrorDomain";
enum StoreErrorCode : long long {
  StoreErrorBadAnswer = 1,  // the store's answer could not be read
  StoreErrorNoStore = 2,    // no store configured
  StoreErrorTransport = 3,  // the store could not be reached, or kept silent
  StoreErrorReceipt = 4,    // the receipt could not be written
};

struct Product {
  std::string productIdentifier;
  std::optional<std::string> localizedTitle;
  std::optional<std::string> localizedDescription;
  std::string price;     // decimal text, "6.00"
  std::string currency;  // ISO 4217 code
  bool operator==(const Product&) const = default;
};

enum class TransactionState : int {
  Purchasing = 0,
  Purchased = 1,
  Failed = 2,
  Restored = 3,
  Deferred = 4,
};

struct Transaction {
  std::string transactionIdentifier;
  Product product;
  TransactionState transactionState = TransactionState::Purchasing;
  std::optional<TQError> error;
};

// One state update of a payment as the store reports it; a Purchased one carries the receipt.
struct PaymentUpdate {
  std::string transactionIdentifier;
  TransactionState state = TransactionState::Purchasing;
  std::optional<TQError> error;
  std::optional<std::string> receipt;  // the receipt's bytes, stored unchanged
};

// Readers of the store server's answers. Anything unreadable gives nothing and a reason.
struct ProductsAnswer {
  std::vector<Product> products;
};
std::optional<ProductsAnswer> parseProductsAnswer(std::string_view body,
                                                  std::string* why = nullptr);
std::optional<std::vector<PaymentUpdate>> parsePaymentsAnswer(std::string_view body,
                                                              std::string* why = nullptr);

// Where the store leaves the app's receipt: $XDG_DATA_HOME (else ~/.local/share)
// /cn.gelmoras.Gelmoras2/receipt.
std::filesystem::path receiptPath();

// Writes bytes to path atomically, mode 0600, creating the folder (0700). False on failure.
bool writePrivateFile(const std::filesystem::path& path, std::string_view bytes);

// Paid transactions whose receipt the service has not confirmed yet: "store-pending.json" beside
// the receipt (0600, replaced atomically). A file that cannot be read is moved aside as
// ".corrupt-<time>" and the list starts empty.
struct PendingEntry {
  std::string transactionIdentifier;
  std::string productIdentifier;
  bool operator==(const PendingEntry&) const = default;
};
std::optional<std::vector<PendingEntry>> parsePendingFile(std::string_view text,
                                                          std::string* why = nullptr);

class PendingTransactions {
 public:
  // The file beside receiptPath().
  PendingTransactions();
  explicit PendingTransactions(std::filesystem::path file);

  std::vector<PendingEntry> list() const;
  bool add(const PendingEntry& entry);  // a known id is kept once
  bool finish(const std::string& transactionIdentifier);
  // Every transaction confirmed: the list is emptied.
  bool finishAll();
  const std::filesystem::path& file() const { return file_; }

 private:
  std::vector<PendingEntry> load() const;
  bool save(const std::vector<PendingEntry>& entries) const;
  std::filesystem::path file_;
  mutable std::mutex mu_;
};

// Where products and payments come from. Callbacks run on the main queue.
class StoreBackend {
 public:
  virtual ~StoreBackend() = default;
  // Products of the ids the store knows; empty on any failure.
  virtual void requestProducts(const std::vector<std::string>& ids,
                               std::function<void(std::vector<Product>)> done) = 0;
  // The payment's updates in order; a failure of the store itself is one Failed update with
  // an error.
  virtual void pay(const Product& product, std::function<void(PaymentUpdate)> update) = 0;
};

// A store server over HTTP: POST <url>/products {"ids":[...]}, POST <url>/payments
// {"product":id}. An empty url is no store: no products, every payment fails.
class HttpStoreBackend : public StoreBackend {
 public:
  explicit HttpStoreBackend(std::string url, double timeoutSeconds = 30.0);
  void requestProducts(const std::vector<std::string>& ids,
                       std::function<void(std::vector<Product>)> done) override;
  void pay(const Product& product, std::function<void(PaymentUpdate)> update) override;

 private:
  std::string url_;
  double timeout_;
};

// In-process store for tests: products as set, each payment answered with the set updates.
class FakeStoreBackend : public StoreBackend {
 public:
  std::vector<Product> products;
  std::vector<PaymentUpdate> updates;  // answered to every payment, in order
  bool hold = false;                   // keep requests back until release()
  size_t productRequests = 0;
  size_t payments = 0;

  void requestProducts(const std::vector<std::string>& ids,
                       std::function<void(std::vector<Product>)> done) override;
  void pay(const Product& product, std::function<void(PaymentUpdate)> update) override;
  // Answers the held requests now.
  void release();

 private:
  std::vector<std::function<void()>> held_;
};

// The store calls the shop uses: one helper per set of product ids.
class StoreHelper : public std::enable_shared_from_this<StoreHelper> {
 public:
  StoreHelper(std::set<std::string> productIdentifiers, std::shared_ptr<StoreBackend> backend,
              std::filesystem::path receipt = receiptPath());

  // The store's products among the helper's ids; empty on failure. On the main queue.
  void requestProducts(std::function<void(std::vector<Product>)> done);
  // Each state update of the payment, on the main queue. A Purchased update is reported only
  // after the receipt is stored and the transaction is listed as pending; a receipt that cannot
  // be stored turns it into Failed with an error.
  void buyProduct(const Product& product, std::function<void(const Transaction&)> onUpdate);
  // The price in the user's locale ("¥6.00"); empty when it cannot be formatted.
  static std::string localePrice(const Product& product, const std::string& locale = {});

  const std::set<std::string>& productIdentifiers() const { return ids_; }
  PendingTransactions& pending() { return pending_; }

 private:
  std::set<std::string> ids_;
  std::shared_ptr<StoreBackend> backend_;
  std::filesystem::path receipt_;
  PendingTransactions pending_;
};

// The app's one store: its back end and the current helper (replaced at every product fetch).
class StoreShare {
 public:
  static StoreShare& shared();
  std::shared_ptr<StoreBackend> backend();
  void setBackend(std::shared_ptr<StoreBackend> backend);
  std::shared_ptr<StoreHelper> iap();
  void setIap(std::shared_ptr<StoreHelper> helper);

 private:
  std::mutex mu_;
  std::shared_ptr<StoreBackend> backend_;
  std::shared_ptr<StoreHelper> iap_;
};

}  // namespace storekit
