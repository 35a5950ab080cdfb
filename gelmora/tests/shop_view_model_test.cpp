// The shop's purchase model against the account stand-in, with an in-process store for the
// list and transaction cases and the store stand-in for whole purchases with signed receipts.
#include <gtest/gtest.h>

#include "SessionTestSupport.h"
#include "Tovra/Codec/Base64.h"
#include "gelmora/Application/AppDependencies.h"
#include "gelmora/Sections/Shop/TsIAPShopViewModel.h"
#include "standin/StoreStandin.h"

namespace {

using storekit::PaymentUpdate;
using storekit::Product;
using storekit::TransactionState;
using Unit = platform::reactive::Unit;

constexpr const char* kFinish = "/q5client/iap/finish-payment";

Product product(const std::string& id) { return Product{id, id, {}, "6.00", "CNY"}; }

std::vector<std::string> ids(const std::vector<Product>& list) {
  std::vector<std::string> out;
  for (const auto& p : list) out.push_back(p.productIdentifier);
  return out;
}

class ShopViewModelTest : public SessionFixture {
 protected:
  void SetUp() override {
    SessionFixture::SetUp();
    standin::account::Account a;
    a.uid = 10001;
    a.username = "alice";
    account.addAccount(a);
    account.setStorePublicKey(store.publicKey());
    ASSERT_TRUE(store.start());
    fake = std::make_shared<storekit::FakeStoreBackend>();
    storekit::StoreShare::shared().setBackend(fake);
    storekit::StoreShare::shared().setIap(nullptr);
    signIn();
    model = TsIAPShopViewModel::create(*user, receiptPath());
  }
  void TearDown() override {
    model.reset();
    storekit::StoreShare::shared().setBackend(nullptr);
    storekit::StoreShare::shared().setIap(nullptr);
    store.stop();
    SessionFixture::TearDown();
  }
  std::filesystem::path receiptPath() const { return tmp.path() / "store" / "receipt"; }
  storekit::PendingTransactions pending() const {
    return storekit::PendingTransactions(tmp.path() / "store" / "store-pending.json");
  }
  void useStoreStandin() {
    storekit::StoreShare::shared().setBackend(
        std::make_shared<storekit::HttpStoreBackend>(store.url()));
  }

  standin::StoreStandin store;
  std::shared_ptr<storekit::FakeStoreBackend> fake;
  std::shared_ptr<TsIAPShopViewModel> model;
};

TEST_F(ShopViewModelTest, ListFollowsTheServiceOrderAmongStoreProducts) {
  struct Case {
    std::vector<std::string> service, store, want;
  };
  const std::vector<Case> cases = {
      {{"b", "a", "c"}, {"a", "b", "x"}, {"b", "a"}},
      {{"a", "a"}, {"a"}, {"a", "a"}},
      {{"a"}, {}, {}},
      {{}, {"a"}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.service));
    account.setProductIdentifiers(c.service);
    fake->products.clear();
    for (const auto& id : c.store) fake->products.push_back(product(id));
    auto out = run(model->fetchProducts());
    EXPECT_TRUE(out.completed);
    EXPECT_EQ(ids(model->products()), c.want);
    EXPECT_FALSE(model->loading().value());
  }
}

TEST_F(ShopViewModelTest, FailedIdentifierCallClearsLoading) {
  account.setCodeForPath("/q5client/iap/get-product-identifier-list", 30010, "shop closed");
  auto out = run(model->fetchProducts());
  ASSERT_TRUE(out.error);
  EXPECT_FALSE(model->loading().value());
  EXPECT_EQ(fake->productRequests, 0u);
}

TEST_F(ShopViewModelTest, ModelGoneBeforeTheStoreAnswers) {
  fake->products = {product("cn.gelmoras.pkg.month")};
  fake->hold = true;
  auto done = std::make_shared<bool>(false);
  auto d = model->fetchProducts().subscribe({nullptr, nullptr, [done] { *done = true; }});
  ASSERT_TRUE(main.queue().runUntil([&] { return fake->productRequests == 1; }));
  model.reset();
  fake->release();
  EXPECT_TRUE(main.queue().runUntil([&] { return *done; }));
}

TEST_F(ShopViewModelTest, TransactionOutcomes) {
  account.setProductIdentifiers({"p"});
  fake->products = {product("p")};
  ASSERT_TRUE(run(model->fetchProducts()).completed);
  TQError storeError{"StandinStore", 7, "declined", std::nullopt};
  TQError failed{TsStoreTransactionFailedDomain, 0, "", std::nullopt};
  struct Case {
    const char* name;
    PaymentUpdate update;
    std::optional<TQError> wantError;  // none: the purchase stays open
  };
  const std::vector<Case> cases = {
      {"failed without error",
       {"t1", TransactionState::Failed, std::nullopt, std::nullopt},
       failed},
      {"failed with error", {"t2", TransactionState::Failed, storeError, std::nullopt}, storeError},
      {"error on any state",
       {"t3", TransactionState::Deferred, storeError, std::nullopt},
       storeError},
      {"purchasing",
       {"t4", TransactionState::Purchasing, std::nullopt, std::nullopt},
       std::nullopt},
      {"restored", {"t5", TransactionState::Restored, std::nullopt, std::nullopt}, std::nullopt},
      {"deferred", {"t6", TransactionState::Deferred, std::nullopt, std::nullopt}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake->updates = {c.update};
    auto out = std::make_shared<Outcome<Unit>>();
    const size_t payments = fake->payments;
    auto d = model->buyProduct(model->products().at(0))
                 .subscribe({nullptr, [out](const TQError& e) { out->error = e; },
                             [out] { out->completed = true; }});
    if (c.wantError) {
      ASSERT_TRUE(main.queue().runUntil([&] { return out->done(); }));
      EXPECT_EQ(*out->error, *c.wantError);
      EXPECT_FALSE(model->loading().value());
    } else {
      ASSERT_TRUE(main.queue().runUntil([&] { return fake->payments == payments + 1; }));
      settle();
      EXPECT_FALSE(out->done());
      EXPECT_TRUE(model->loading().value());
      d.dispose();
    }
  }
  EXPECT_TRUE(seen(account, kFinish).empty());
}

TEST_F(ShopViewModelTest, PurchaseIsCreditedAndFinished) {
  useStoreStandin();
  account.setProductIdentifiers({"cn.gelmoras.pkg.season"});
  ASSERT_TRUE(run(model->fetchProducts()).completed);
  ASSERT_EQ(model->products().size(), 1u);
  auto out = run(model->buyProduct(model->products()[0]));
  ASSERT_TRUE(out.completed) << (out.error ? out.error->description : "");
  EXPECT_FALSE(model->loading().value());

  ASSERT_EQ(account.orders().size(), 1u);
  EXPECT_EQ(account.orders()[0].uid, 10001);
  EXPECT_FALSE(account.orders()[0].creditedTransaction.empty());
  ASSERT_EQ(account.creditOf(10001)->packageName, "cn.gelmoras.pkg.season");
  auto uploads = seen(account, kFinish);
  ASSERT_EQ(uploads.size(), 1u);
  // uid and receipt only, the receipt file's bytes exactly.
  auto req = *uploads[0].info;
  EXPECT_FALSE(req.contains("order_id"));
  std::ifstream in(receiptPath(), std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(tq::base64Decode(req["receipt"].get<std::string>()), bytes);
  EXPECT_TRUE(pending().list().empty());
}

TEST_F(ShopViewModelTest, RefusedReceiptKeepsThePurchaseUntilAStartUpUploadIsAccepted) {
  useStoreStandin();
  account.setProductIdentifiers({"cn.gelmoras.pkg.month"});
  ASSERT_TRUE(run(model->fetchProducts()).completed);
  store.setBadSignature(true);
  auto out = run(model->buyProduct(model->products().at(0)));
  ASSERT_TRUE(out.error);
  EXPECT_EQ(out.error->description, "receipt signature invalid");
  EXPECT_FALSE(model->loading().value());
  ASSERT_EQ(pending().list().size(), 1u);
  EXPECT_FALSE(account.creditOf(10001));

  // Start-up uploads: a refused one keeps the list, an accepted one empties it.
  int accepted = 0;
  AppDependencies::Collaborators c;
  c.user = user.get();
  c.defaults = defaults.get();
  c.receiptPath = receiptPath();
  c.receiptAccepted = [&] {
    ++accepted;
    pending().finishAll();
  };
  auto deps = std::make_unique<AppDependencies>(c);
  deps->checkReceipt();
  ASSERT_TRUE(waitFor(account, kFinish, 2));
  EXPECT_EQ(accepted, 0);
  EXPECT_EQ(pending().list().size(), 1u);

  // The service now trusts the key the receipt was signed with (the store's receipts were
  // re-signed): the same kind of upload is accepted and credits the ordered package.
  store.setBadSignature(false);
  std::string good = store.makeReceipt();
  ASSERT_TRUE(storekit::writePrivateFile(receiptPath(), good));
  deps->checkReceipt();
  ASSERT_TRUE(waitFor(account, kFinish, 3));
  EXPECT_EQ(accepted, 1);
  EXPECT_TRUE(pending().list().empty());
  EXPECT_EQ(account.creditOf(10001)->packageName, "cn.gelmoras.pkg.month");
}

TEST_F(ShopViewModelTest, MissingReceiptIsALocalError) {
  auto out = run(model->checkReceipt());
  ASSERT_TRUE(out.error);
  EXPECT_EQ(out.error->domain, TQAPILocalErrorDomain);
  EXPECT_EQ(out.error->code, 1001);
  EXPECT_EQ(out.error->description, "no store receipt");
  EXPECT_TRUE(seen(account, kFinish).empty());
}

}  // namespace
