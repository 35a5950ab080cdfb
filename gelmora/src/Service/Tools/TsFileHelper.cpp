#include "gelmora/Service/Tools/TsFileHelper.h"

#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>

#include "../../Shared/TextSupport.h"
#include "gelmora/Core/Log.h"

bool TsFileHelper::IsExist(const std::string& path) {
  struct stat st {};
  bool exists =
      ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), R_OK) == 0;
  gelmora::logLine(path + (exists ? " 文件存在" : " 文件不存在"));
  return exists;
}

std::string TsFileHelper::Sha1Value(const std::string& path) {
  // The raw bytes are hashed: the service announces the digest of the file as it is stored,
  // whatever its encoding.
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr) != 1) return {};
  std::ifstream in(path, std::ios::binary);
  if (in) {
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
      EVP_DigestUpdate(ctx.get(), buffer, static_cast<std::size_t>(in.gcount()));
    }
    if (in.bad()) {
      // A read error part way counts as unreadable.
      EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr);
    }
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_DigestFinal_ex(ctx.get(), digest, &size);
  return gelmora::text::hexLower(digest, size);
}
