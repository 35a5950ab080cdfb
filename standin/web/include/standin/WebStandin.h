#pragma once
// Stand-in of the brand's web host (WebDomain): static files by exact path, on an HttpStandin so
// that tests count requests and switch it to 404, garbage or slow answers. Later pages join with
// addFile. Listens on 127.0.0.1; test infrastructure only.
#include <filesystem>
#include <string>

#include "standin/HttpStandin.h"

namespace standin {

class WebStandin {
 public:
  // Serves `bytes` at `path` ("/img/a.png") with the content type.
  static void addFile(HttpStandin& server, const std::string& path, std::string bytes,
                      const std::string& contentType);
  // Serves every regular file below `root` at "/<relative path>", read once now; the content type
  // follows the extension. Answers how many files were added.
  static size_t addDirectory(HttpStandin& server, const std::filesystem::path& root);
  // The content type of a file name by its extension ("application/octet-stream" if unknown; a
  // name without an extension is a page, "text/html").
  static std::string contentTypeFor(const std::string& name);
  // A small valid PNG picture (2 by 2 pixels), for pages that need some image.
  static std::string samplePng();
};

}  // namespace standin
