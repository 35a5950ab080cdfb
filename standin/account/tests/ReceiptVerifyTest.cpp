// The account stand-in checks in-app receipts as the service does: signed by the store, for this
// application, each transaction credited once and only against an order of the same user.
#include <Tovra/Codec/Base64.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "standin/AccountServer.h"
#include "standin/StoreStandin.h"

namespace {

using nlohmann::json;
using standin::account::Account;
using standin::account::AccountServer;

class ReceiptVerifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Account a;
    a.email = "buyer@example.com";
    uid = service.addAccount(a).uid;
    service.setStorePublicKey(store.publicKey());
  }

  json order(const std::string& product) {
    return service.answer("/q5client/iap/create-order",
                          {{"uid", uid}, {"product_identifier", product}});
  }
  json finish(const std::string& receiptText) {
    return service.answer("/q5client/iap/finish-payment",
                          {{"uid", uid}, {"receipt", tq::base64Encode(receiptText)}});
  }
  // A purchase at the store: the receipt its Purchased update carries.
  std::string buy(const std::string& product) {
    json answer = json::parse(store.answerPayment(json{{"product", product}}.dump()));
    for (const auto& u : answer["updates"])
      if (u["state"] == 1) return u["receipt"].get<std::string>();
    ADD_FAILURE() << answer.dump();
    return {};
  }

  standin::StoreStandin store;
  AccountServer service;
  int64_t uid = 0;
};

TEST_F(ReceiptVerifyTest, GoodReceiptCreditsOnceAndReplayCreditsNothing) {
  EXPECT_EQ(service
                .answer("/q5client/iap/get-product-identifier-list",
                        {{"uid", uid}})["data"]["product_identifiers"]
                .size(),
            3u);
  ASSERT_EQ(order("cn.gelmoras.pkg.month")["code"], 0);
  std::string receipt = buy("cn.gelmoras.pkg.month");
  json answer = finish(receipt);
  EXPECT_EQ(answer["code"], 0) << answer.dump();
  auto credit = service.creditOf(uid);
  ASSERT_TRUE(credit);
  EXPECT_EQ(credit->packageName, "cn.gelmoras.pkg.month");
  EXPECT_EQ(credit->expireDate.size(), 10u);
  ASSERT_EQ(service.orders().size(), 1u);
  EXPECT_FALSE(service.orders()[0].creditedTransaction.empty());

  // The same receipt again, and a purchase nobody ordered: accepted, nothing credited.
  EXPECT_EQ(finish(receipt)["code"], 0);
  buy("cn.gelmoras.pkg.year");
  EXPECT_EQ(finish(store.makeReceipt())["code"], 0);
  EXPECT_EQ(service.creditOf(uid)->packageName, "cn.gelmoras.pkg.month");
}

TEST_F(ReceiptVerifyTest, BadReceiptsAreRefusedWithInfo) {
  ASSERT_EQ(order("cn.gelmoras.pkg.month")["code"], 0);
  std::string good = buy("cn.gelmoras.pkg.month");
  json r = json::parse(good);
  std::string payload = *tq::base64Decode(r["payload"].get<std::string>());
  payload[payload.find("cn.gelmoras.pkg.month")] = 'C';
  json tampered = {{"payload", tq::base64Encode(payload)}, {"signature", r["signature"]}};

  store.setBadSignature(true);
  std::string foreign = store.makeReceipt();
  store.setBadSignature(false);
  store.setBundleId("org.example.other");
  std::string otherBundle = store.makeReceipt();
  store.setBundleId(standin::StoreStandin::kBundleId);

  struct Case {
    const char* name;
    json request;
  };
  const std::vector<Case> cases = {
      {"tampered", {{"uid", uid}, {"receipt", tq::base64Encode(tampered.dump())}}},
      {"foreign key", {{"uid", uid}, {"receipt", tq::base64Encode(foreign)}}},
      {"other bundle", {{"uid", uid}, {"receipt", tq::base64Encode(otherBundle)}}},
      {"not Base64", {{"uid", uid}, {"receipt", "%%%not base64"}}},
      {"not JSON", {{"uid", uid}, {"receipt", tq::base64Encode("receipt")}}},
  };
  for (const auto& c : cases) {
    json answer = service.answer("/q5client/iap/finish-payment", c.request);
    EXPECT_NE(answer["code"], 0) << c.name;
    EXPECT_TRUE(answer.contains("info") && !answer["info"].get<std::string>().empty()) << c.name;
  }
  EXPECT_FALSE(service.creditOf(uid));
  EXPECT_TRUE(service.orders()[0].creditedTransaction.empty());
}

}  // namespace
