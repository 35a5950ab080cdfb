#include "gelmora/Legacy/Update/UpdateSignature.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "gelmora/update_key.h"

namespace gelmora::update {

std::string errnoText(int err) {
  const char* name = strerrorname_np(err);
  return std::string(name ? name : "E?") + " (" + std::strerror(err) + ")";
}

const char* UpdateSignature::builtInKey() { return kGelmoraUpdatePublicKey; }

namespace {

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

// Opens a regular file without following a final link and reports its size.
std::optional<UpdateFailure> openRegular(const std::string& path, std::size_t cap, Fd& out,
                                         std::size_t& size) {
  out.fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (out.fd < 0) return UpdateFailure{"signature", path + ": " + errnoText(errno)};
  struct stat st {};
  if (::fstat(out.fd, &st) != 0) return UpdateFailure{"signature", path + ": " + errnoText(errno)};
  if (!S_ISREG(st.st_mode)) return UpdateFailure{"signature", path + ": not a regular file"};
  if (static_cast<std::uint64_t>(st.st_size) > cap)
    return UpdateFailure{"signature", path + ": larger than " + std::to_string(cap) + " bytes"};
  size = static_cast<std::size_t>(st.st_size);
  return std::nullopt;
}

}  // namespace

std::optional<UpdateFailure> UpdateSignature::verify(std::string_view data,
                                                     std::string_view signature,
                                                     std::string_view publicKeyPem) {
  if (signature.size() != kSize)
    return UpdateFailure{"signature", "signature is " + std::to_string(signature.size()) +
                                          " bytes, not " + std::to_string(kSize)};
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(
      BIO_new_mem_buf(publicKeyPem.data(), static_cast<int>(publicKeyPem.size())), BIO_free);
  if (!bio) return UpdateFailure{"signature", "out of memory"};
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
  if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_ED25519)
    return UpdateFailure{"signature", "the built-in key is not an Ed25519 public key"};
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1)
    return UpdateFailure{"signature", "verifier set-up failed"};
  const int ok = EVP_DigestVerify(
      ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
      reinterpret_cast<const unsigned char*>(data.data()), data.size());
  if (ok != 1) return UpdateFailure{"signature", "the archive's signature does not match"};
  return std::nullopt;
}

std::optional<UpdateFailure> UpdateSignature::verifyFiles(const std::string& archivePath,
                                                          const std::string& signaturePath,
                                                          std::string_view publicKeyPem) {
  Fd sigFd, arcFd;
  std::size_t sigSize = 0, arcSize = 0;
  // One byte over the signature's size is enough to tell a wrong size.
  if (auto f = openRegular(signaturePath, 4096, sigFd, sigSize)) return f;
  std::string sig(sigSize, '\0');
  std::size_t got = 0;
  while (got < sigSize) {
    const ssize_t n = ::read(sigFd.fd, sig.data() + got, sigSize - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return UpdateFailure{"signature", signaturePath + ": short read"};
    got += static_cast<std::size_t>(n);
  }
  if (auto f = openRegular(archivePath, kMaxArchive, arcFd, arcSize)) return f;
  if (arcSize == 0) return verify({}, sig, publicKeyPem);
  void* map = ::mmap(nullptr, arcSize, PROT_READ, MAP_PRIVATE, arcFd.fd, 0);
  if (map == MAP_FAILED) return UpdateFailure{"signature", archivePath + ": " + errnoText(errno)};
  auto result = verify(std::string_view(static_cast<const char*>(map), arcSize), sig, publicKeyPem);
  ::munmap(map, arcSize);
  return result;
}

}  // namespace gelmora::update
