#pragma once
// The store server as the app's store layer sees it:
//  POST "/products"   {"ids":[...]} ->
//  {"products":[{"id","title","description","price","currency"}]}
//                     (the known ids only, in the order asked, repeats answered once)
//  POST "/payments"   {"product":id} -> {"updates":[{"transaction","state"[,"error"][,"receipt"]}]}
//  GET  "/public-key" Base64 of the raw Ed25519 public key the receipts are signed with
// A Purchased update carries the receipt: the text {"payload","signature"}, both Base64; the
// payload is {"bundle_id","transactions":[{"id","product","purchase_date"}]} with every purchase
// made so far, the signature is Ed25519 over the payload's bytes.
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "standin/HttpStandin.h"

namespace standin {

struct StoreProduct {
  std::string id;
  std::string title;
  std::string description;
  std::string price;  // "6.00"
  std::string currency = "CNY";
};

// One transaction a store receipt names.
struct ReceiptTransaction {
  std::string id;
  std::string product;
};

struct VerifiedReceipt {
  std::string bundleId;
  std::vector<ReceiptTransaction> transactions;
};

// Checks the receipt text against the raw public key: both fields Base64, the signature valid,
// the payload readable. Gives nothing and a reason otherwise.
std::optional<VerifiedReceipt> verifyStoreReceipt(const std::string& receipt,
                                                  const std::string& publicKey,
                                                  std::string* why = nullptr);

class StoreStandin {
 public:
  static constexpr const char* kBundleId = "cn.gelmoras.Gelmoras2";

  // A fresh key; the default catalogue of three packages.
  StoreStandin();
  ~StoreStandin();
  bool start(int port = 0) { return server_.start(port); }
  void stop() { server_.stop(); }
  std::string url() const { return server_.baseUrl(); }
  HttpStandin& server() { return server_; }

  // Raw 32-byte public key, and its Base64.
  std::string publicKey() const;
  std::string publicKeyBase64() const;

  void setProducts(std::vector<StoreProduct> products);
  // States reported for every payment, in order (default 0, 1). A 2 carries an error when
  // failureError is on (default on).
  void setSequence(std::vector<int> states);
  void setFailureError(bool on);
  // Receipts signed with another key.
  void setBadSignature(bool on);
  void setBundleId(std::string id);
  // 200 answers that are not JSON.
  void setGarbage(bool on) { server_.setGarbage(on); }
  // Answers kept back until release() (silence when never released).
  void setHold(bool on) { server_.setHold(on); }
  void release() { server_.release(); }

  // Every purchase made so far.
  std::vector<ReceiptTransaction> purchases() const;
  // The receipt text covering every purchase so far, signed as switched.
  std::string makeReceipt() const;

  // The answers to one request body (what the routes send).
  std::string answerProducts(const std::string& body);
  std::string answerPayment(const std::string& body);

 private:
  struct Keys;
  std::unique_ptr<Keys> keys_;
  mutable std::mutex mu_;
  std::vector<StoreProduct> products_;
  std::vector<int> sequence_{0, 1};
  bool failureError_ = true;
  bool badSignature_ = false;
  std::string bundleId_ = kBundleId;
  std::vector<ReceiptTransaction> purchases_;
  int nextTransaction_ = 1000;
  HttpStandin server_;
};

}  // namespace standin
