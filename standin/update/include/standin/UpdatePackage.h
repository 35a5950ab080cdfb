#pragma once
// Update archives as the service would publish them, and hostile ones: zip bytes written by
// libarchive, signed with the stand-in's Ed25519 test key.
#include <sys/types.h>

#include <string>
#include <vector>

namespace standin {

struct UpdateEntry {
  enum class Type { File, Directory, Symlink, HardLink, Fifo, CharDevice };
  std::string path;  // as stored in the archive
  Type type = Type::File;
  mode_t mode = 0644;
  std::string content;  // file bytes, or the link target
};

class UpdatePackage {
 public:
  static std::string testKeyPath();   // private key (PEM) the test builds trust
  static std::string otherKeyPath();  // a key nobody trusts
  static std::string testPublicKeyPem();

  // Zip bytes of the entries in order (no checks: hostile archives are made this way too).
  static std::string zip(const std::vector<UpdateEntry>& entries);
  // A well-formed update: "gelmora/" + every file and link below `folder`, plus the manifest.
  static std::string zipFolder(const std::string& folder);
  // The entries of a well-formed update with the given files (relative path -> bytes) and an
  // executable bin/gelmora, the manifest listing them.
  static std::vector<UpdateEntry> release(
      const std::vector<std::pair<std::string, std::string>>& files);

  // 64-byte Ed25519 signature of `bytes` with the private key at `keyPath`.
  static std::string sign(const std::string& bytes, const std::string& keyPath = testKeyPath());
};

}  // namespace standin
