#include <gtest/gtest.h>

#include "gelmora/Core/Localization.h"
#include "gelmora/Service/Safe/SecurityManager.h"

namespace {

struct Case {
  const char* label;
  std::optional<std::string> username;
  std::optional<std::string> password;
  int type;
  long long code;  // 0: passes
};

std::string repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST(SecurityManager, ChecksInOrderAndStopsAtTheFirstFailure) {
  const std::string pw6 = "abcdef";
  const Case cases[] = {
      {"both empty reports the user name", "", "", 0, 0x4101},
      {"no user name at all", std::nullopt, pw6, 0, 0x4101},
      {"32 characters pass the length check", repeat("a", 31) + "@", pw6, 0, 0},
      {"33 characters", repeat("a", 32) + "@", pw6, 0, 0x4102},
      // Lengths count UTF-16 units: 16 characters outside the basic plane are 32 units.
      {"33 units of surrogate pairs", repeat("😀", 16) + "@", pw6, 0, 0x4102},
      {"32 units of surrogate pairs", repeat("😀", 15) + "@b", pw6, 0, 0},
      {"e-mail without at sign", "user.example", pw6, 0, 0x4104},
      {"e-mail of one letter, at sign, one letter", "a@b", pw6, 0, 0},
      {"phone with plus sign", "+8613800000000", pw6, 1, 0x4103},
      {"phone with blank", "138 0000", pw6, 1, 0x4103},
      {"phone of digits", "13800000000", pw6, 1, 0},
      {"other type skips the format check", "anything", pw6, 5, 0},
      {"empty password", "a@b", "", 0, 0x4111},
      {"5 characters", "a@b", "abcde", 0, 0x4113},
      {"6 characters", "a@b", "abcdef", 0, 0},
      {"32 characters", "a@b", repeat("p", 32), 0, 0},
      {"33 characters", "a@b", repeat("p", 33), 0, 0x4112},
      {"6 Chinese characters", "a@b", "密码密码密码", 0, 0},
      {"bad e-mail reported before bad password", "ab", "", 0, 0x4104},
  };
  for (const auto& c : cases) {
    UserModel user;
    user.setUsername(c.username);
    user.setPassword(c.password);
    user.setType(c.type);
    platform::reactive::Error error{"untouched", 99, "untouched", std::nullopt};
    const bool ok = SecurityManager::Authenticate(user, &error);
    EXPECT_EQ(ok, c.code == 0) << c.label;
    if (c.code == 0) {
      EXPECT_EQ(error.code, 99) << c.label << ": the slot stays untouched on success";
    } else {
      EXPECT_EQ(error.code, c.code) << c.label;
      EXPECT_EQ(error.domain, "") << c.label;
    }
  }
}

TEST(SecurityManager, ErrorTextsAreLocalisedKeys) {
  UserModel user("", "");
  platform::reactive::Error error;
  EXPECT_FALSE(SecurityManager::Authenticate(user, &error));
  EXPECT_EQ(error.description, "用户名长度不能为0");
  EXPECT_EQ(error.recoverySuggestion, "请输入用户名");

  gelmora::setLocalizationTable({{"密码长度不能小于6位", "Password too short"},
                                 {"请重新输入密码", "Please retype the password"}});
  UserModel shortPassword("a@b", "abc");
  EXPECT_FALSE(SecurityManager::Authenticate(shortPassword, &error));
  EXPECT_EQ(error.code, SecurityManager::kPasswordTooShort);
  EXPECT_EQ(error.description, "Password too short");
  EXPECT_EQ(error.recoverySuggestion, "Please retype the password");
  gelmora::setLocalizationTable({});

  // No slot: the answer alone.
  EXPECT_FALSE(SecurityManager::Authenticate(shortPassword, nullptr));
}

TEST(UserModel, DefaultsAndConstructors) {
  UserModel empty;
  EXPECT_EQ(empty.username(), std::nullopt);
  EXPECT_EQ(empty.countryCode(), "86");
  EXPECT_EQ(empty.type(), 0);
  UserModel phone("13800000000", "secret", "1");
  EXPECT_EQ(phone.countryCode(), "1");
  EXPECT_EQ(phone.type(), 0);
}

}  // namespace
