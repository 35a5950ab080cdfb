#include "Galvent/Utils/MD5.h"

#include <openssl/evp.h>

#include <cstring>

namespace GVString {

std::string MD5(std::string_view text) {
  // The digest covers the C string, as the text's UTF-8 form is handed over NUL-terminated.
  size_t nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &size, EVP_md5(), nullptr) != 1 || size != 16) {
    return std::string(32, '0');
  }
  static const char* hex = "0123456789abcdef";
  std::string out(32, '0');
  for (unsigned i = 0; i < 16; ++i) {
    out[2 * i] = hex[digest[i] >> 4];
    out[2 * i + 1] = hex[digest[i] & 0xF];
  }
  return out;
}

}  // namespace GVString
