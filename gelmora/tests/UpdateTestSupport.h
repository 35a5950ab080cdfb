#pragma once
// Temp folders and a digest of a whole tree (paths, types, modes, sizes, SHA-256 of contents,
// link targets) for the self-update tests.
#include <openssl/evp.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace update_test {

inline std::string sha256(const std::string& bytes) {
  unsigned char md[32];
  unsigned int len = 0;
  EVP_Digest(bytes.data(), bytes.size(), md, &len, EVP_sha256(), nullptr);
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned i = 0; i < len; ++i) {
    out += hex[md[i] >> 4];
    out += hex[md[i] & 15];
  }
  return out;
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void writeFile(const std::string& path, const std::string& bytes, mode_t mode = 0644) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
  ::chmod(path.c_str(), mode);
}

// One line per entry, sorted; "" for a missing folder.
inline std::string treeDigest(const std::string& root) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(root, ec))) return "";
  std::vector<std::string> lines;
  struct stat top {};
  ::lstat(root.c_str(), &top);
  lines.push_back(". " + std::to_string(top.st_mode));
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    const std::string p = it->path().string();
    struct stat st {};
    ::lstat(p.c_str(), &st);
    std::string line = fs::relative(it->path(), root).string() + " " + std::to_string(st.st_mode) +
                       " " + std::to_string(st.st_size);
    if (S_ISREG(st.st_mode)) line += " " + sha256(readFile(p));
    if (S_ISLNK(st.st_mode)) line += " -> " + fs::read_symlink(it->path()).string();
    lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return out;
}

struct TempDir {
  std::string path;
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "gelmora-update-test-XXXXXX").string();
    path = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

}  // namespace update_test
