// Store calls over the back ends, and prices in the user's locale.
#include <Tovra/REST/CurlTransport.h>
#include <platform/dispatch/Queue.h>
#include <unicode/locid.h>
#include <unicode/numfmt.h>
#include <unicode/unistr.h>

#include <cstdio>
#include <nlohmann/json.hpp>

#include "platform/storekit/StoreKit.h"

namespace storekit {
namespace {

using nlohmann::json;

TQError storeError(long long code, std::string text) {
  TQError e;
  e.domain = StoreErrorDomain;
  e.code = code;
  e.description = std::move(text);
  return e;
}

PaymentUpdate failedUpdate(TQError error) {
  PaymentUpdate u;
  u.state = TransactionState::Failed;
  u.error = std::move(error);
  return u;
}

void log(const std::string& line) { std::fprintf(stderr, "storekit: %s\n", line.c_str()); }

}  // namespace

HttpStoreBackend::HttpStoreBackend(std::string url, double timeoutSeconds)
    : url_(std::move(url)), timeout_(timeoutSeconds) {
  while (!url_.empty() && url_.back() == '/') url_.pop_back();
}

namespace {
// POSTs the JSON body and hands the outcome over on the main queue.
void post(const std::string& url, double timeout, const json& body,
          std::function<void(const tq::HttpResponse&, const TQError&)> done) {
  tq::HttpRequest req;
  req.method = "POST";
  req.url = url;
  req.headers = {{"Content-Type", "application/json"}};
  req.body = body.dump();
  req.timeoutInterval = timeout;
  req.deadline = timeout;
  req.maxBodySize = 2u << 20;
  tq::HttpCallbacks cb;
  cb.completion = std::move(done);
  tq::CurlTransport::shared()->start(std::move(req), std::move(cb));
}
}  // namespace

void HttpStoreBackend::requestProducts(const std::vector<std::string>& ids,
                                       std::function<void(std::vector<Product>)> done) {
  if (url_.empty()) {
    platform::dispatch::mainQueue()->async([done] { done({}); });
    return;
  }
  post(url_ + "/products", timeout_, json{{"ids", ids}},
       [done](const tq::HttpResponse& r, const TQError& e) {
         if (e || r.status != 200) {
           log("products not fetched: " +
               (e ? e.description : "status " + std::to_string(r.status)));
           done({});
           return;
         }
         std::string why;
         auto answer = parseProductsAnswer(r.body, &why);
         if (!answer) {
           log("products answer refused: " + why);
           done({});
           return;
         }
         done(std::move(answer->products));
       });
}

void HttpStoreBackend::pay(const Product& product, std::function<void(PaymentUpdate)> update) {
  if (url_.empty()) {
    platform::dispatch::mainQueue()->async(
        [update] { update(failedUpdate(storeError(StoreErrorNoStore, "no store configured"))); });
    return;
  }
  post(url_ + "/payments", timeout_, json{{"product", product.productIdentifier}},
       [update](const tq::HttpResponse& r, const TQError& e) {
         if (e || r.status != 200) {
           std::string text = e ? e.description : "status " + std::to_string(r.status);
           log("payment not answered: " + text);
           update(failedUpdate(storeError(StoreErrorTransport, "store unreachable: " + text)));
           return;
         }
         std::string why;
         auto updates = parsePaymentsAnswer(r.body, &why);
         if (!updates) {
           log("payment answer refused: " + why);
           update(failedUpdate(storeError(StoreErrorBadAnswer, "unreadable store answer: " + why)));
           return;
         }
         for (auto& u : *updates) update(std::move(u));
       });
}

void FakeStoreBackend::requestProducts(const std::vector<std::string>&,
                                       std::function<void(std::vector<Product>)> done) {
  ++productRequests;
  auto answer = [done, list = products] { done(list); };
  if (hold) {
    held_.push_back(answer);
  } else {
    platform::dispatch::mainQueue()->async(answer);
  }
}

void FakeStoreBackend::pay(const Product&, std::function<void(PaymentUpdate)> update) {
  ++payments;
  auto answer = [update, list = updates] {
    for (const auto& u : list) update(u);
  };
  if (hold) {
    held_.push_back(answer);
  } else {
    platform::dispatch::mainQueue()->async(answer);
  }
}

void FakeStoreBackend::release() {
  auto held = std::move(held_);
  held_.clear();
  for (auto& task : held) platform::dispatch::mainQueue()->async(task);
}

StoreHelper::StoreHelper(std::set<std::string> productIdentifiers,
                         std::shared_ptr<StoreBackend> backend, std::filesystem::path receipt)
    : ids_(std::move(productIdentifiers)),
      backend_(std::move(backend)),
      receipt_(std::move(receipt)),
      pending_(receipt_.parent_path() / "store-pending.json") {}

void StoreHelper::requestProducts(std::function<void(std::vector<Product>)> done) {
  if (!backend_) {
    platform::dispatch::mainQueue()->async([done] { done({}); });
    return;
  }
  std::vector<std::string> ids(ids_.begin(), ids_.end());
  auto self = shared_from_this();
  backend_->requestProducts(ids, [self, done](std::vector<Product> products) {
    // Only the ids asked for, each once (the first the store names).
    std::set<std::string> seen;
    std::erase_if(products, [&](const Product& p) {
      return !self->ids_.contains(p.productIdentifier) || !seen.insert(p.productIdentifier).second;
    });
    done(std::move(products));
  });
}

void StoreHelper::buyProduct(const Product& product,
                             std::function<void(const Transaction&)> onUpdate) {
  auto self = shared_from_this();
  auto report = [self, product, onUpdate](PaymentUpdate u) {
    Transaction t;
    t.transactionIdentifier = u.transactionIdentifier;
    t.product = product;
    t.transactionState = u.state;
    t.error = u.error;
    if (u.state == TransactionState::Purchased && !u.error) {
      // The purchase is paid: keep its receipt and remember it until the service confirms.
      bool stored = u.receipt && writePrivateFile(self->receipt_, *u.receipt) &&
                    self->pending_.add({u.transactionIdentifier, product.productIdentifier});
      if (!stored) {
        log("receipt of " + u.transactionIdentifier + " not stored at " + self->receipt_.string());
        t.transactionState = TransactionState::Failed;
        t.error = storeError(StoreErrorReceipt, "the store receipt could not be stored");
      }
    }
    onUpdate(t);
  };
  if (!backend_) {
    platform::dispatch::mainQueue()->async(
        [report] { report(failedUpdate(storeError(StoreErrorNoStore, "no store configured"))); });
    return;
  }
  backend_->pay(product, report);
}

std::string StoreHelper::localePrice(const Product& product, const std::string& locale) {
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale loc = locale.empty() ? icu::Locale::getDefault() : icu::Locale(locale.c_str());
  std::unique_ptr<icu::NumberFormat> format(icu::NumberFormat::createCurrencyInstance(loc, status));
  if (U_FAILURE(status) || !format || product.currency.size() != 3) return {};
  icu::UnicodeString code = icu::UnicodeString::fromUTF8(product.currency);
  format->setCurrency(code.getTerminatedBuffer(), status);
  if (U_FAILURE(status)) return {};
  icu::Formattable amount(
      icu::StringPiece(product.price.data(), static_cast<int32_t>(product.price.size())), status);
  if (U_FAILURE(status)) return {};
  icu::UnicodeString text;
  format->format(amount, text, status);
  if (U_FAILURE(status)) return {};
  std::string out;
  text.toUTF8String(out);
  return out;
}

StoreShare& StoreShare::shared() {
  static StoreShare share;
  return share;
}

std::shared_ptr<StoreBackend> StoreShare::backend() {
  std::lock_guard lock(mu_);
  return backend_;
}

void StoreShare::setBackend(std::shared_ptr<StoreBackend> backend) {
  std::lock_guard lock(mu_);
  backend_ = std::move(backend);
}

std::shared_ptr<StoreHelper> StoreShare::iap() {
  std::lock_guard lock(mu_);
  return iap_;
}

void StoreShare::setIap(std::shared_ptr<StoreHelper> helper) {
  std::lock_guard lock(mu_);
  iap_ = std::move(helper);
}

}  // namespace storekit
