#include "standin/WebStandin.h"

#include <fstream>
#include <sstream>

namespace standin {

void WebStandin::addFile(HttpStandin& server, const std::string& path, std::string bytes,
                         const std::string& contentType) {
  server.handle(path, [bytes = std::move(bytes), contentType](const Request&) {
    return Reply::text(bytes, contentType);
  });
}

size_t WebStandin::addDirectory(HttpStandin& server, const std::filesystem::path& root) {
  size_t added = 0;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_regular_file()) continue;
    std::ifstream in(it->path(), std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    const auto relative = std::filesystem::relative(it->path(), root).generic_string();
    addFile(server, "/" + relative, bytes.str(), contentTypeFor(relative));
    ++added;
  }
  return added;
}

std::string WebStandin::contentTypeFor(const std::string& name) {
  const auto slash = name.rfind('/');
  const auto dot = name.rfind('.');
  // The brand's pages live at addresses without an extension ("/in-app/package").
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "text/html";
  const std::string ext = name.substr(dot + 1);
  if (ext == "png") return "image/png";
  if (ext == "jpg" || ext == "jpeg") return "image/jpeg";
  if (ext == "gif") return "image/gif";
  if (ext == "html" || ext == "htm") return "text/html";
  if (ext == "js") return "application/javascript";
  if (ext == "css") return "text/css";
  if (ext == "json") return "application/json";
  return "application/octet-stream";
}

std::string WebStandin::samplePng() {
  // 2x2 RGB, one colour, made once with a PNG encoder and kept as bytes.
  static const unsigned char png[] = {
      0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44,
      0x52, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x02, 0x08, 0x02, 0x00, 0x00, 0x00, 0xfd,
      0xd4, 0x9a, 0x73, 0x00, 0x00, 0x00, 0x10, 0x49, 0x44, 0x41, 0x54, 0x78, 0x9c, 0x63, 0xf8,
      0x2d, 0x16, 0x01, 0x44, 0x0c, 0x10, 0x0a, 0x00, 0x2a, 0x16, 0x05, 0xa5, 0x68, 0x11, 0x94,
      0xde, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};
  return std::string(reinterpret_cast<const char*>(png), sizeof png);
}

}  // namespace standin
