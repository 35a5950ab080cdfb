#include "platform/keychain/SecretServiceBackend.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "Utf8.h"

#ifdef PLATFORM_KEYCHAIN_HAVE_LIBSECRET
#include <libsecret/secret.h>
#endif

namespace platform::keychain {

#ifdef PLATFORM_KEYCHAIN_HAVE_LIBSECRET

namespace {

const SecretSchema* schema() {
  static const SecretSchema s = [] {
    SecretSchema x{};
    x.name = "org.gelmora.keychain.GenericPassword";
    x.flags = SECRET_SCHEMA_NONE;
    x.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
    x.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
    x.attributes[2] = {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING};
    return x;
  }();
  return &s;
}

// libsecret's sync calls each run a private main loop; one at a time keeps that simple.
std::mutex& callMutex() {
  static std::mutex m;
  return m;
}

std::string takeError(GError* err) {
  std::string text = err && err->message ? err->message : "unknown error";
  if (err) g_error_free(err);
  return text;
}

void logError(const char* what, GError* err) {
  std::fprintf(stderr, "keychain: %s: %s\n", what, takeError(err).c_str());
}

GHashTable* attributes(const std::string& service, const std::string& account) {
  GHashTable* a = g_hash_table_new(g_str_hash, g_str_equal);
  g_hash_table_insert(a, const_cast<char*>("service"), const_cast<char*>(service.c_str()));
  g_hash_table_insert(a, const_cast<char*>("account"), const_cast<char*>(account.c_str()));
  return a;
}

}  // namespace

std::shared_ptr<SecretServiceBackend> SecretServiceBackend::connect(std::string* why) {
  std::lock_guard lock(callMutex());
  GError* err = nullptr;
  // A lookup that finds nothing proves that a service answers on the session bus.
  const std::string probe = "platform.keychain.probe";
  GHashTable* attrs = attributes(probe, probe);
  SecretValue* v = secret_password_lookupv_binary_sync(schema(), attrs, nullptr, &err);
  g_hash_table_unref(attrs);
  if (v) secret_value_unref(v);
  if (err) {
    if (why) *why = takeError(err);
    return nullptr;
  }
  return std::make_shared<SecretServiceBackend>();
}

std::optional<std::string> SecretServiceBackend::password(std::string_view service,
                                                          std::string_view account) {
  if (!detail::validName(service) || !detail::validName(account)) return std::nullopt;
  const std::string s(service), a(account);
  std::lock_guard lock(callMutex());
  GError* err = nullptr;
  GHashTable* attrs = attributes(s, a);
  SecretValue* v = secret_password_lookupv_binary_sync(schema(), attrs, nullptr, &err);
  g_hash_table_unref(attrs);
  if (err) {
    logError("cannot read an item", err);
    return std::nullopt;
  }
  if (!v) return std::nullopt;
  gsize len = 0;
  const gchar* data = secret_value_get(v, &len);
  std::string out(data ? data : "", data ? len : 0);
  secret_value_unref(v);
  return out;
}

bool SecretServiceBackend::setPassword(std::string_view password, std::string_view service,
                                       std::string_view account) {
  if (!detail::validName(service) || !detail::validName(account)) {
    std::fprintf(stderr, "keychain: service and account must be UTF-8 text without NUL\n");
    return false;
  }
  const std::string s(service), a(account);
  const std::string label = s + " (" + a + ")";
  std::lock_guard lock(callMutex());
  GError* err = nullptr;
  SecretValue* value =
      secret_value_new(password.data(), gssize(password.size()), "application/octet-stream");
  GHashTable* attrs = attributes(s, a);
  const gboolean ok = secret_password_storev_binary_sync(schema(), attrs, SECRET_COLLECTION_DEFAULT,
                                                         label.c_str(), value, nullptr, &err);
  g_hash_table_unref(attrs);
  secret_value_unref(value);
  if (!ok || err) {
    logError("cannot store an item", err);
    return false;
  }
  return true;
}

bool SecretServiceBackend::deletePassword(std::string_view service, std::string_view account) {
  if (!detail::validName(service) || !detail::validName(account)) return false;
  const std::string s(service), a(account);
  std::lock_guard lock(callMutex());
  GError* err = nullptr;
  GHashTable* attrs = attributes(s, a);
  const gboolean removed = secret_password_clearv_sync(schema(), attrs, nullptr, &err);
  g_hash_table_unref(attrs);
  if (err) {
    logError("cannot delete an item", err);
    return false;
  }
  return removed;
}

#else  // built without libsecret: the file back end serves

std::shared_ptr<SecretServiceBackend> SecretServiceBackend::connect(std::string* why) {
  if (why) *why = "built without libsecret";
  return nullptr;
}
std::optional<std::string> SecretServiceBackend::password(std::string_view, std::string_view) {
  return std::nullopt;
}
bool SecretServiceBackend::setPassword(std::string_view, std::string_view, std::string_view) {
  return false;
}
bool SecretServiceBackend::deletePassword(std::string_view, std::string_view) { return false; }

#endif

}  // namespace platform::keychain
