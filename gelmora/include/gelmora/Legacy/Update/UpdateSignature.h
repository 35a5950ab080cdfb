#pragma once
// Detached Ed25519 signature of the update archive: exactly 64 raw bytes over the archive's
// bytes, checked against the public key built into the program.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "gelmora/Legacy/Update/UpdateFailure.h"

namespace gelmora::update {

class UpdateSignature {
 public:
  static constexpr std::size_t kSize = 64;
  static constexpr std::size_t kMaxArchive = std::size_t{512} << 20;

  // The PEM public key the program trusts.
  static const char* builtInKey();

  // None when `signature` is a valid signature of `data` under `publicKeyPem`.
  static std::optional<UpdateFailure> verify(std::string_view data, std::string_view signature,
                                             std::string_view publicKeyPem = builtInKey());
  // Same over files; the archive is mapped, not copied; both are opened without following a
  // final symlink and must be regular files within their caps.
  static std::optional<UpdateFailure> verifyFiles(const std::string& archivePath,
                                                  const std::string& signaturePath,
                                                  std::string_view publicKeyPem = builtInKey());
};

}  // namespace gelmora::update
