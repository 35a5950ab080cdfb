#include <gtest/gtest.h>
#include <platform/dispatch/PumpedQueue.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/storekit/StoreKit.h"
#include "standin/StoreStandin.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using storekit::Product;
using storekit::StoreHelper;
using storekit::Transaction;
using storekit::TransactionState;

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class StoreKitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(store.start());
    char tmpl[] = "/tmp/storekit-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir = tmpl;
    receipt = dir / "app" / "receipt";
  }
  void TearDown() override {
    store.stop();
    fs::remove_all(dir);
  }

  std::shared_ptr<StoreHelper> helper(std::set<std::string> ids, double timeout = 10) {
    return std::make_shared<StoreHelper>(
        std::move(ids), std::make_shared<storekit::HttpStoreBackend>(store.url(), timeout),
        receipt);
  }

  std::vector<Product> fetch(const std::shared_ptr<StoreHelper>& h) {
    std::optional<std::vector<Product>> got;
    h->requestProducts([&](std::vector<Product> p) { got = std::move(p); });
    EXPECT_TRUE(main.queue().runUntil([&] { return got.has_value(); }));
    return got.value_or(std::vector<Product>{});
  }

  Product month() {
    auto list = fetch(helper({"cn.gelmoras.pkg.month"}));
    EXPECT_EQ(list.size(), 1u);
    return list.empty() ? Product{} : list[0];
  }

  // Every update of one payment until the store's answer is used up.
  std::vector<Transaction> buy(const std::shared_ptr<StoreHelper>& h, const Product& p,
                               size_t expected) {
    std::vector<Transaction> updates;
    h->buyProduct(p, [&](const Transaction& t) { updates.push_back(t); });
    EXPECT_TRUE(main.queue().runUntil([&] { return updates.size() >= expected; }, 15s));
    main.pump();
    return updates;
  }

  platform::dispatch::ScopedMainQueue main;
  standin::StoreStandin store;
  fs::path dir, receipt;
};

TEST_F(StoreKitTest, ProductsAnswerKnownIdsOnce) {
  auto list = fetch(helper({"cn.gelmoras.pkg.year", "cn.gelmoras.pkg.month", "unknown.id"}));
  ASSERT_EQ(list.size(), 2u);
  std::set<std::string> ids{list[0].productIdentifier, list[1].productIdentifier};
  EXPECT_EQ(ids, (std::set<std::string>{"cn.gelmoras.pkg.year", "cn.gelmoras.pkg.month"}));
  for (const auto& p : list) EXPECT_EQ(p.currency, "CNY");

  // A store answering an id twice, or ids not asked for, adds nothing.
  store.setProducts({{"a", "A", "", "1.00", "CNY"},
                     {"a", "A", "", "1.00", "CNY"},
                     {"b", "B", "", "2.00", "CNY"}});
  list = fetch(helper({"a"}));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].productIdentifier, "a");
  EXPECT_EQ(list[0].localizedTitle, "A");
}

TEST_F(StoreKitTest, BadOrMissingStoreGivesNoProducts) {
  store.setGarbage(true);
  EXPECT_TRUE(fetch(helper({"cn.gelmoras.pkg.month"})).empty());
  store.setGarbage(false);
  auto none =
      std::make_shared<StoreHelper>(std::set<std::string>{"cn.gelmoras.pkg.month"},
                                    std::make_shared<storekit::HttpStoreBackend>(""), receipt);
  EXPECT_TRUE(fetch(none).empty());
  store.setHold(true);  // silence ends in the time-out
  EXPECT_TRUE(fetch(helper({"cn.gelmoras.pkg.month"}, 0.5)).empty());
  store.setHold(false);
}

TEST_F(StoreKitTest, PaymentSequences) {
  Product p = month();
  struct Case {
    std::vector<int> sequence;
    bool failureError;
    std::vector<TransactionState> want;
    bool wantError;  // on the last update
  };
  const std::vector<Case> cases = {
      {{0, 1}, true, {TransactionState::Purchasing, TransactionState::Purchased}, false},
      {{0, 2}, true, {TransactionState::Purchasing, TransactionState::Failed}, true},
      {{0, 2}, false, {TransactionState::Purchasing, TransactionState::Failed}, false},
      {{0, 4, 1},
       true,
       {TransactionState::Purchasing, TransactionState::Deferred, TransactionState::Purchased},
       false},
      {{0, 3}, true, {TransactionState::Purchasing, TransactionState::Restored}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.sequence) + (c.failureError ? " with error" : ""));
    store.setSequence(c.sequence);
    store.setFailureError(c.failureError);
    auto updates = buy(helper({p.productIdentifier}), p, c.want.size());
    ASSERT_EQ(updates.size(), c.want.size());
    for (size_t i = 0; i < updates.size(); ++i) {
      EXPECT_EQ(updates[i].transactionState, c.want[i]);
      EXPECT_EQ(updates[i].transactionIdentifier, updates[0].transactionIdentifier);
      EXPECT_EQ(updates[i].product.productIdentifier, p.productIdentifier);
    }
    EXPECT_EQ(updates.back().error.has_value(), c.wantError);
  }
}

TEST_F(StoreKitTest, HeldPaymentArrivesOnRelease) {
  Product p = month();
  auto h = helper({p.productIdentifier});
  std::vector<Transaction> updates;
  store.setHold(true);
  h->buyProduct(p, [&](const Transaction& t) { updates.push_back(t); });
  ASSERT_TRUE(store.server().waitForHeld(1));
  main.pump();
  EXPECT_TRUE(updates.empty());
  store.setHold(false);
  store.release();
  ASSERT_TRUE(main.queue().runUntil([&] { return updates.size() == 2; }));
  EXPECT_EQ(updates[1].transactionState, TransactionState::Purchased);
}

TEST_F(StoreKitTest, UnusableAnswersFailThePayment) {
  Product p = month();
  store.setGarbage(true);
  auto updates = buy(helper({p.productIdentifier}), p, 1);
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].transactionState, TransactionState::Failed);
  ASSERT_TRUE(updates[0].error);
  EXPECT_EQ(updates[0].error->domain, storekit::StoreErrorDomain);
  EXPECT_EQ(updates[0].error->code, storekit::StoreErrorBadAnswer);
  store.setGarbage(false);

  store.setHold(true);
  updates = buy(helper({p.productIdentifier}, 0.5), p, 1);
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].error->code, storekit::StoreErrorTransport);
  store.setHold(false);
  store.release();

  auto none =
      std::make_shared<StoreHelper>(std::set<std::string>{p.productIdentifier},
                                    std::make_shared<storekit::HttpStoreBackend>(""), receipt);
  updates = buy(none, p, 1);
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].error->code, storekit::StoreErrorNoStore);
  EXPECT_FALSE(fs::exists(receipt));
  EXPECT_TRUE(none->pending().list().empty());
}

TEST_F(StoreKitTest, PurchaseStoresSignedReceiptAndKeepsItPending) {
  Product p = month();
  auto updates = buy(helper({p.productIdentifier}), p, 2);
  ASSERT_EQ(updates.size(), 2u);
  ASSERT_EQ(updates[1].transactionState, TransactionState::Purchased);
  const std::string id = updates[1].transactionIdentifier;

  struct stat st {};
  ASSERT_EQ(::stat(receipt.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::string why;
  auto verified = standin::verifyStoreReceipt(readFile(receipt), store.publicKey(), &why);
  ASSERT_TRUE(verified) << why;
  EXPECT_EQ(verified->bundleId, "cn.gelmoras.Gelmoras2");
  ASSERT_EQ(verified->transactions.size(), 1u);
  EXPECT_EQ(verified->transactions[0].id, id);

  // The pending list outlives the helper, and ends only with finish.
  storekit::PendingTransactions later(dir / "app" / "store-pending.json");
  ASSERT_EQ(later.list(), (std::vector<storekit::PendingEntry>{{id, p.productIdentifier}}));
  ASSERT_EQ(::stat(later.file().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  auto again = helper({p.productIdentifier});
  EXPECT_EQ(again->pending().list().size(), 1u);
  EXPECT_TRUE(again->pending().finish(id));
  EXPECT_TRUE(later.list().empty());
}

TEST_F(StoreKitTest, ReceiptIsStoredByteForByte) {
  // A receipt the layer did not make itself: kept exactly as the store sent it.
  auto fake = std::make_shared<storekit::FakeStoreBackend>();
  const std::string text = "{ \"signature\" : \"AAAA\",\n\"payload\":\"eyJ9\" }";
  fake->updates = {{"t9", TransactionState::Purchased, std::nullopt, text}};
  auto h = std::make_shared<StoreHelper>(std::set<std::string>{"x"}, fake, receipt);
  auto updates = buy(h, Product{"x", {}, {}, "1.00", "CNY"}, 1);
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].transactionState, TransactionState::Purchased);
  EXPECT_EQ(readFile(receipt), text);

  // A receipt that cannot be written is no purchase for the app: Failed, with an error.
  fs::remove(receipt);
  fs::create_directories(receipt);
  updates = buy(h, Product{"x", {}, {}, "1.00", "CNY"}, 1);
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].transactionState, TransactionState::Failed);
  ASSERT_TRUE(updates[0].error);
  EXPECT_EQ(updates[0].error->code, storekit::StoreErrorReceipt);
}

TEST_F(StoreKitTest, CorruptPendingFileIsMovedAside) {
  fs::create_directories(dir / "app");
  const fs::path file = dir / "app" / "store-pending.json";
  std::ofstream(file) << "{\"transactions\": [ {\"id\": 3} ]";
  storekit::PendingTransactions pending(file);
  EXPECT_TRUE(pending.list().empty());
  bool aside = false;
  for (const auto& e : fs::directory_iterator(dir / "app"))
    aside = aside || e.path().filename().string().starts_with("store-pending.json.corrupt-");
  EXPECT_TRUE(aside);
  EXPECT_TRUE(pending.add({"t1", "a"}));
  EXPECT_TRUE(pending.add({"t1", "a"}));
  EXPECT_EQ(pending.list().size(), 1u);
  EXPECT_TRUE(pending.finishAll());
  EXPECT_TRUE(pending.list().empty());
}

TEST_F(StoreKitTest, ReceiptPathAndLocalePrice) {
  ::setenv("XDG_DATA_HOME", "/tmp/xdg-data", 1);
  EXPECT_EQ(storekit::receiptPath(), fs::path("/tmp/xdg-data/cn.gelmoras.Gelmoras2/receipt"));
  ::unsetenv("XDG_DATA_HOME");
  ::setenv("HOME", "/home/someone", 1);
  EXPECT_EQ(storekit::receiptPath(),
            fs::path("/home/someone/.local/share/cn.gelmoras.Gelmoras2/receipt"));

  struct Case {
    std::string price, currency, locale, want;
  };
  const std::vector<Case> cases = {
      {"6.00", "CNY", "zh_CN", "¥6.00"},
      {"6.00", "USD", "en_US", "$6.00"},
      {"1298", "CNY", "zh_CN", "¥1,298.00"},
      {"6", "", "en_US", ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(StoreHelper::localePrice(Product{"x", {}, {}, c.price, c.currency}, c.locale), c.want)
        << c.price << " " << c.currency << " " << c.locale;
}

}  // namespace
