#include "standin/WebStandin.h"

#include <algorithm>
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

namespace {

uint32_t crc32(const std::string& bytes) {
  uint32_t crc = 0xffffffffu;
  for (unsigned char c : bytes) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  return crc ^ 0xffffffffu;
}

void putBE32(std::string& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((v >> shift) & 0xff));
}

void chunk(std::string& png, const char* type, const std::string& data) {
  putBE32(png, static_cast<uint32_t>(data.size()));
  std::string typed = std::string(type, 4) + data;
  png += typed;
  putBE32(png, crc32(typed));
}

}  // namespace

std::string WebStandin::solidPng(int width, int height, uint8_t red, uint8_t green, uint8_t blue) {
  std::string png("\x89PNG\r\n\x1a\n", 8);
  std::string header;
  putBE32(header, static_cast<uint32_t>(width));
  putBE32(header, static_cast<uint32_t>(height));
  header += std::string("\x08\x02\x00\x00\x00", 5);  // 8-bit RGB, no interlace
  chunk(png, "IHDR", header);
  // Rows: filter byte 0, then the pixels.
  std::string raw;
  for (int y = 0; y < height; ++y) {
    raw.push_back('\0');
    for (int x = 0; x < width; ++x) {
      raw.push_back(static_cast<char>(red));
      raw.push_back(static_cast<char>(green));
      raw.push_back(static_cast<char>(blue));
    }
  }
  // A zlib stream of stored blocks (at most 65535 bytes each) and its Adler-32.
  std::string z("\x78\x01", 2);
  size_t pos = 0;
  do {
    const size_t n = std::min<size_t>(65535, raw.size() - pos);
    const bool last = pos + n == raw.size();
    z.push_back(last ? '\x01' : '\x00');
    z.push_back(static_cast<char>(n & 0xff));
    z.push_back(static_cast<char>(n >> 8));
    z.push_back(static_cast<char>(~n & 0xff));
    z.push_back(static_cast<char>((~n >> 8) & 0xff));
    z.append(raw, pos, n);
    pos += n;
  } while (pos < raw.size());
  uint32_t a = 1, b = 0;
  for (unsigned char c : raw) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  putBE32(z, (b << 16) | a);
  chunk(png, "IDAT", z);
  chunk(png, "IEND", std::string());
  return png;
}

}  // namespace standin
