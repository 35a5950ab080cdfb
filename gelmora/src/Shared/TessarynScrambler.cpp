#include "PexaraAPI/PXACrypto.h"
#include "gelmora/Shared/Tessaryn.h"

namespace Tessaryn {

std::string encryptedStringOfString(std::string_view text) {
  return PXACrypto::encryptedStringOfString(text);
}

}  // namespace Tessaryn
