#pragma once
// Keychain items in the desktop's Secret Service (libsecret), in the default collection.
#include <memory>

#include "platform/keychain/Keychain.h"

namespace platform::keychain {

class SecretServiceBackend : public Backend {
 public:
  // A back end when a Secret Service answers on the session bus, else nullptr (reason in `why`).
  static std::shared_ptr<SecretServiceBackend> connect(std::string* why = nullptr);

  std::optional<std::string> password(std::string_view service, std::string_view account) override;
  bool setPassword(std::string_view password, std::string_view service,
                   std::string_view account) override;
  bool deletePassword(std::string_view service, std::string_view account) override;
  std::string name() const override { return "secret-service"; }

  SecretServiceBackend() = default;
};

}  // namespace platform::keychain
