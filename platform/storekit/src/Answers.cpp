// Readers of the store server's answers; nothing outside is trusted.
#include <Tovra/Codec/Base64.h>

#include <nlohmann/json.hpp>

#include "platform/storekit/StoreKit.h"

namespace storekit {
namespace {

using nlohmann::json;

constexpr size_t kMaxItems = 256;
constexpr size_t kMaxText = 4096;
constexpr size_t kMaxReceipt = 1u << 20;

bool fail(std::string* why, const std::string& reason) {
  if (why) *why = reason;
  return false;
}

std::optional<json> parseObject(std::string_view body, std::string* why) {
  json doc = json::parse(body.begin(), body.end(), nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) {
    fail(why, "not a JSON object");
    return std::nullopt;
  }
  return doc;
}

bool shortText(const json& v) {
  return v.is_string() && v.get_ref<const std::string&>().size() <= kMaxText;
}

// Digits with at most one ".", at least one digit before it.
bool decimalText(const std::string& s) {
  if (s.empty() || s.size() > 32) return false;
  size_t dot = s.find('.');
  if (dot == 0 || (dot != std::string::npos && s.find('.', dot + 1) != std::string::npos))
    return false;
  for (char c : s)
    if (c != '.' && (c < '0' || c > '9')) return false;
  return s.back() != '.';
}

bool currencyCode(const std::string& s) {
  if (s.size() != 3) return false;
  for (char c : s)
    if (c < 'A' || c > 'Z') return false;
  return true;
}

// {"payload": Base64, "signature": Base64}; the bytes themselves are the service's to verify.
bool receiptShape(const std::string& text) {
  json r = json::parse(text, nullptr, false);
  if (r.is_discarded() || !r.is_object()) return false;
  auto p = r.find("payload");
  auto s = r.find("signature");
  if (p == r.end() || s == r.end() || !p->is_string() || !s->is_string()) return false;
  return tq::base64Decode(p->get_ref<const std::string&>()).has_value() &&
         tq::base64Decode(s->get_ref<const std::string&>()).has_value();
}

}  // namespace

std::optional<ProductsAnswer> parseProductsAnswer(std::string_view body, std::string* why) {
  auto doc = parseObject(body, why);
  if (!doc) return std::nullopt;
  auto list = doc->find("products");
  if (list == doc->end() || !list->is_array() || list->size() > kMaxItems) {
    fail(why, "\"products\" is not a list");
    return std::nullopt;
  }
  ProductsAnswer out;
  for (const json& item : *list) {
    if (!item.is_object()) {
      fail(why, "a product is not an object");
      return std::nullopt;
    }
    auto id = item.find("id");
    auto price = item.find("price");
    auto currency = item.find("currency");
    if (id == item.end() || !shortText(*id) || id->get_ref<const std::string&>().empty() ||
        price == item.end() || !price->is_string() ||
        !decimalText(price->get_ref<const std::string&>()) || currency == item.end() ||
        !currency->is_string() || !currencyCode(currency->get_ref<const std::string&>())) {
      fail(why, "a product lacks a readable id, price or currency");
      return std::nullopt;
    }
    Product p;
    p.productIdentifier = id->get<std::string>();
    p.price = price->get<std::string>();
    p.currency = currency->get<std::string>();
    for (auto [key, field] : {std::pair{"title", &p.localizedTitle},
                              std::pair{"description", &p.localizedDescription}}) {
      auto v = item.find(key);
      if (v == item.end() || v->is_null()) continue;
      if (!shortText(*v)) {
        fail(why, std::string("a product's ") + key + " is not text");
        return std::nullopt;
      }
      *field = v->get<std::string>();
    }
    out.products.push_back(std::move(p));
  }
  return out;
}

std::optional<std::vector<PaymentUpdate>> parsePaymentsAnswer(std::string_view body,
                                                              std::string* why) {
  auto doc = parseObject(body, why);
  if (!doc) return std::nullopt;
  auto list = doc->find("updates");
  if (list == doc->end() || !list->is_array() || list->empty() || list->size() > kMaxItems) {
    fail(why, "\"updates\" is not a list of updates");
    return std::nullopt;
  }
  std::vector<PaymentUpdate> out;
  for (const json& item : *list) {
    if (!item.is_object()) {
      fail(why, "an update is not an object");
      return std::nullopt;
    }
    auto id = item.find("transaction");
    auto state = item.find("state");
    if (id == item.end() || !shortText(*id) || state == item.end() || !state->is_number_integer() ||
        state->get<long long>() < 0 || state->get<long long>() > 4) {
      fail(why, "an update lacks a transaction or a state 0-4");
      return std::nullopt;
    }
    PaymentUpdate u;
    u.transactionIdentifier = id->get<std::string>();
    u.state = static_cast<TransactionState>(state->get<int>());
    if (auto e = item.find("error"); e != item.end() && !e->is_null()) {
      auto domain = e->is_object() ? e->find("domain") : e->end();
      auto code = e->is_object() ? e->find("code") : e->end();
      auto text = e->is_object() ? e->find("description") : e->end();
      if (!e->is_object() || domain == e->end() || !shortText(*domain) || code == e->end() ||
          !code->is_number_integer() || (text != e->end() && !shortText(*text))) {
        fail(why, "an update's error is unreadable");
        return std::nullopt;
      }
      TQError err;
      err.domain = domain->get<std::string>();
      err.code = code->get<long long>();
      if (text != e->end()) err.description = text->get<std::string>();
      u.error = err;
    }
    if (auto r = item.find("receipt"); r != item.end() && !r->is_null()) {
      if (!r->is_string() || r->get_ref<const std::string&>().size() > kMaxReceipt ||
          !receiptShape(r->get_ref<const std::string&>())) {
        fail(why, "an update's receipt is unreadable");
        return std::nullopt;
      }
      u.receipt = r->get<std::string>();
    }
    if (u.state == TransactionState::Purchased && !u.error && !u.receipt) {
      fail(why, "a purchase without a receipt");
      return std::nullopt;
    }
    out.push_back(std::move(u));
  }
  return out;
}

}  // namespace storekit
