// Store stand-in: a catalogue, scripted payment updates and Ed25519-signed receipts.
#include "standin/StoreStandin.h"

#include <Tovra/Codec/Base64.h>
#include <openssl/evp.h>

#include <ctime>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace standin {
namespace {

using nlohmann::json;

struct PkeyDeleter {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyDeleter>;

Pkey newKey() {
  EVP_PKEY* key = nullptr;
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
  if (!ctx || EVP_PKEY_keygen_init(ctx) <= 0 || EVP_PKEY_keygen(ctx, &key) <= 0) {
    EVP_PKEY_CTX_free(ctx);
    throw std::runtime_error("Ed25519 key generation failed");
  }
  EVP_PKEY_CTX_free(ctx);
  return Pkey(key);
}

std::string rawPublic(EVP_PKEY* key) {
  std::string out(32, '\0');
  size_t len = out.size();
  if (EVP_PKEY_get_raw_public_key(key, reinterpret_cast<unsigned char*>(out.data()), &len) != 1)
    return {};
  out.resize(len);
  return out;
}

std::string sign(EVP_PKEY* key, const std::string& data) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  std::string sig(64, '\0');
  size_t len = sig.size();
  bool ok = ctx && EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key) == 1 &&
            EVP_DigestSign(ctx, reinterpret_cast<unsigned char*>(sig.data()), &len,
                           reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
  EVP_MD_CTX_free(ctx);
  if (!ok) return {};
  sig.resize(len);
  return sig;
}

bool verify(const std::string& publicKey, const std::string& data, const std::string& sig) {
  Pkey key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                       reinterpret_cast<const unsigned char*>(publicKey.data()),
                                       publicKey.size()));
  if (!key) return false;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  bool ok = ctx && EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, key.get()) == 1 &&
            EVP_DigestVerify(ctx, reinterpret_cast<const unsigned char*>(sig.data()), sig.size(),
                             reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
  EVP_MD_CTX_free(ctx);
  return ok;
}

std::vector<StoreProduct> defaultCatalogue() {
  return {{"cn.gelmoras.pkg.month", "One month", "Acceleration for 30 days", "30.00", "CNY"},
          {"cn.gelmoras.pkg.season", "Three months", "Acceleration for 90 days", "88.00", "CNY"},
          {"cn.gelmoras.pkg.year", "One year", "Acceleration for 365 days", "298.00", "CNY"}};
}

}  // namespace

std::optional<VerifiedReceipt> verifyStoreReceipt(const std::string& receipt,
                                                  const std::string& publicKey, std::string* why) {
  auto bad = [&](const char* reason) -> std::optional<VerifiedReceipt> {
    if (why) *why = reason;
    return std::nullopt;
  };
  json r = json::parse(receipt, nullptr, false);
  if (r.is_discarded() || !r.is_object()) return bad("receipt is not JSON");
  auto p = r.find("payload");
  auto s = r.find("signature");
  if (p == r.end() || s == r.end() || !p->is_string() || !s->is_string())
    return bad("receipt lacks payload or signature");
  auto payload = tq::base64Decode(p->get<std::string>());
  auto signature = tq::base64Decode(s->get<std::string>());
  if (!payload || !signature) return bad("receipt fields are not Base64");
  if (!verify(publicKey, *payload, *signature)) return bad("receipt signature invalid");
  json body = json::parse(*payload, nullptr, false);
  if (body.is_discarded() || !body.is_object() || !body.contains("bundle_id") ||
      !body["bundle_id"].is_string() || !body.contains("transactions") ||
      !body["transactions"].is_array())
    return bad("receipt payload unreadable");
  VerifiedReceipt out;
  out.bundleId = body["bundle_id"].get<std::string>();
  for (const json& t : body["transactions"]) {
    if (!t.is_object() || !t.contains("id") || !t["id"].is_string() || !t.contains("product") ||
        !t["product"].is_string())
      return bad("receipt transaction unreadable");
    out.transactions.push_back({t["id"].get<std::string>(), t["product"].get<std::string>()});
  }
  return out;
}

struct StoreStandin::Keys {
  Pkey key = newKey();
  Pkey foreign = newKey();
};

StoreStandin::StoreStandin() : keys_(std::make_unique<Keys>()), products_(defaultCatalogue()) {
  server_.handle("/products", [this](const Request& r) {
    if (r.method != "POST") return Reply::text("POST only", "text/plain", 405);
    return Reply::json(answerProducts(r.body));
  });
  server_.handle("/payments", [this](const Request& r) {
    if (r.method != "POST") return Reply::text("POST only", "text/plain", 405);
    return Reply::json(answerPayment(r.body));
  });
  server_.handle("/public-key", [this](const Request&) { return Reply::text(publicKeyBase64()); });
}

StoreStandin::~StoreStandin() { server_.stop(); }

std::string StoreStandin::publicKey() const { return rawPublic(keys_->key.get()); }
std::string StoreStandin::publicKeyBase64() const { return tq::base64Encode(publicKey()); }

void StoreStandin::setProducts(std::vector<StoreProduct> products) {
  std::lock_guard lock(mu_);
  products_ = std::move(products);
}
void StoreStandin::setSequence(std::vector<int> states) {
  std::lock_guard lock(mu_);
  sequence_ = std::move(states);
}
void StoreStandin::setFailureError(bool on) {
  std::lock_guard lock(mu_);
  failureError_ = on;
}
void StoreStandin::setBadSignature(bool on) {
  std::lock_guard lock(mu_);
  badSignature_ = on;
}
void StoreStandin::setBundleId(std::string id) {
  std::lock_guard lock(mu_);
  bundleId_ = std::move(id);
}
std::vector<ReceiptTransaction> StoreStandin::purchases() const {
  std::lock_guard lock(mu_);
  return purchases_;
}

std::string StoreStandin::makeReceipt() const {
  std::lock_guard lock(mu_);
  json list = json::array();
  for (const auto& t : purchases_)
    list.push_back({{"id", t.id}, {"product", t.product}, {"purchase_date", std::time(nullptr)}});
  std::string payload = json{{"bundle_id", bundleId_}, {"transactions", list}}.dump();
  std::string sig = sign(badSignature_ ? keys_->foreign.get() : keys_->key.get(), payload);
  return json{{"payload", tq::base64Encode(payload)}, {"signature", tq::base64Encode(sig)}}.dump();
}

std::string StoreStandin::answerProducts(const std::string& body) {
  json req = json::parse(body, nullptr, false);
  json out = json::array();
  if (!req.is_object() || !req.contains("ids") || !req["ids"].is_array())
    return json{{"products", out}}.dump();
  std::lock_guard lock(mu_);
  std::vector<std::string> seen;
  for (const json& id : req["ids"]) {
    if (!id.is_string() || std::find(seen.begin(), seen.end(), id.get<std::string>()) != seen.end())
      continue;
    seen.push_back(id.get<std::string>());
    for (const auto& p : products_)
      if (p.id == seen.back())
        out.push_back({{"id", p.id},
                       {"title", p.title},
                       {"description", p.description},
                       {"price", p.price},
                       {"currency", p.currency}});
  }
  return json{{"products", out}}.dump();
}

std::string StoreStandin::answerPayment(const std::string& body) {
  json req = json::parse(body, nullptr, false);
  std::string product = req.is_object() && req.contains("product") && req["product"].is_string()
                            ? req["product"].get<std::string>()
                            : std::string();
  std::unique_lock lock(mu_);
  std::string id = "t" + std::to_string(nextTransaction_++);
  bool known = false;
  for (const auto& p : products_) known = known || p.id == product;
  json updates = json::array();
  if (!known) {
    updates.push_back(
        {{"transaction", id},
         {"state", 2},
         {"error", {{"domain", "StandinStore"}, {"code", 1}, {"description", "unknown product"}}}});
    return json{{"updates", updates}}.dump();
  }
  bool purchased = false;
  for (int s : sequence_) purchased = purchased || s == 1;
  if (purchased) purchases_.push_back({id, product});
  auto sequence = sequence_;
  bool failureError = failureError_;
  lock.unlock();
  std::string receipt = purchased ? makeReceipt() : std::string();
  for (int s : sequence) {
    json u = {{"transaction", id}, {"state", s}};
    if (s == 1) u["receipt"] = receipt;
    if (s == 2 && failureError)
      u["error"] = {{"domain", "StandinStore"}, {"code", 2}, {"description", "payment declined"}};
    updates.push_back(u);
  }
  return json{{"updates", updates}}.dump();
}

}  // namespace standin
