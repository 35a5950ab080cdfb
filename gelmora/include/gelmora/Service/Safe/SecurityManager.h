#pragma once
// Checks a user name and password pair before sign-in and explains the first problem.
#include "gelmora/Model/UserModel/UserModel.h"
#include "platform/reactive/Error.h"

class SecurityManager {
 public:
  enum Code : long long {
    kUsernameEmpty = 0x4101,
    kUsernameTooLong = 0x4102,
    kPhoneInvalid = 0x4103,
    kEmailInvalid = 0x4104,
    kPasswordEmpty = 0x4111,
    kPasswordTooLong = 0x4112,
    kPasswordTooShort = 0x4113,
  };

  // True when the input passes; otherwise false with the error (empty domain, localised
  // description and recovery suggestion) placed in `error` when one is given.
  static bool Authenticate(const UserModel& user, platform::reactive::Error* error);
};
