#pragma once
// Update archives as the service would publish them, and hostile ones: zip bytes written by
// libarchive, signed with the stand-in's Ed25519 test key.
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace standin {

class OlderService;

// How the older-service stand-in serves an update.
struct UpdateServing {
  bool noLength = false;        // archive chunked, without Content-Length
  std::size_t cutAfter = 0;     // archive cut after this many bytes (0: whole)
  bool wrongSignature = false;  // signed with a key nobody trusts
  bool noSignature = false;     // no ".sig" at all (404)
  bool slow = false;            // archive one byte per 20 ms
  // Parses one switch: "no-length", "cut=N", "wrong-signature", "no-signature", "slow".
  bool parse(const std::string& text);
};

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

  // Serves `archive` and its signature at "/q5client-macos/client.zip" and ".sig".
  static void serve(OlderService& service, const std::string& archive,
                    const UpdateServing& how = {});

  // 64-byte Ed25519 signature of `bytes` with the private key at `keyPath`.
  static std::string sign(const std::string& bytes, const std::string& keyPath = testKeyPath());
};

}  // namespace standin
