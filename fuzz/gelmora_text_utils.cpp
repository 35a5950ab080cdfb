// Service texts through the text utilities: the first byte picks the operation, the rest is
// the input. None may crash or read out of bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "gelmora/Service/Tools/TsConvertHelper.h"
#include "gelmora/Service/Tools/TsUtils.h"
#include "gelmora/Shared/PXExtension.h"
#include "gelmora/Shared/Tessaryn.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 8) {
    case 0: {
      auto doc = Tessaryn::jsonDecode(input);
      if (doc && !doc->is_object() && !doc->is_array()) std::abort();
      break;
    }
    case 1:
      Tessaryn::hexStringToNum(input);
      break;
    case 2:
      TsConvertHelper::natToIPAddress(input);
      break;
    case 3:
      TsConvertHelper::addrToUInt32(input);
      break;
    case 4: {
      // Two versions separated by the first newline; the order must invert the answer.
      const auto split = input.find('\n');
      const auto a = input.substr(0, split);
      const auto b = split == std::string_view::npos ? std::string_view() : input.substr(split + 1);
      if (TsUtilsCompareVersions(a, b) != -TsUtilsCompareVersions(b, a)) std::abort();
      break;
    }
    case 5: {
      // Format and text separated by the first newline.
      const auto split = input.find('\n');
      if (split == std::string_view::npos) {
        PXExtension::dateFromUTCString(input);
      } else {
        auto text = PXExtension::dateStringFromString(input.substr(split + 1),
                                                      input.substr(0, split), "yyyy-MM-dd");
        (void)text;
      }
      break;
    }
    case 6:
      Tessaryn::isValidateEmail(input);
      Tessaryn::isValidatePhone(input);
      break;
    default:
      Tessaryn::trim(input);
      Tessaryn::urlEncode(input);
      break;
  }
  return 0;
}
