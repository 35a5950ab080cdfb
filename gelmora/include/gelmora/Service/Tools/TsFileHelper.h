#pragma once
// File checks of the older service layer (the downloaded IP library).
#include <string>

class TsFileHelper {
 public:
  // A readable regular file exists at the path (logged either way).
  static bool IsExist(const std::string& path);
  // SHA-1 of the file's bytes, 40 lower-case hex digits; an unreadable file hashes as empty.
  static std::string Sha1Value(const std::string& path);
};
