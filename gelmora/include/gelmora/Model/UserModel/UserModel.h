#pragma once
// What the user typed for a sign-in, as the credential check takes it.
#include <cstdint>
#include <optional>
#include <string>

class UserModel {
 public:
  UserModel() = default;
  UserModel(std::string username, std::string password)
      : username_(std::move(username)), password_(std::move(password)) {}
  UserModel(std::string username, std::string password, std::string countryCode)
      : username_(std::move(username)),
        password_(std::move(password)),
        countryCode_(std::move(countryCode)) {}

  const std::optional<std::string>& username() const { return username_; }
  void setUsername(std::optional<std::string> v) { username_ = std::move(v); }
  const std::optional<std::string>& password() const { return password_; }
  void setPassword(std::optional<std::string> v) { password_ = std::move(v); }
  const std::string& countryCode() const { return countryCode_; }
  void setCountryCode(std::string v) { countryCode_ = std::move(v); }
  // 0 e-mail account, 1 phone account; other values skip the format check.
  std::int32_t type() const { return type_; }
  void setType(std::int32_t v) { type_ = v; }

 private:
  std::optional<std::string> username_;
  std::optional<std::string> password_;
  std::string countryCode_ = "86";
  std::int32_t type_ = 0;
};
