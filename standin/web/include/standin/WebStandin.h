#pragma once
// Stand-in of the brand's web host (WebDomain): static files by exact path, on an HttpStandin so
// that tests count requests and switch it to 404, garbage or slow answers. Later pages join with
// addFile. Listens on 127.0.0.1; test infrastructure only.
#include <cstdint>
#include <filesystem>
#include <string>

#include "standin/HttpStandin.h"

namespace standin {

namespace account {
class AccountServer;
}

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
  // A PNG picture of one colour (8-bit RGB, stored without compression).
  static std::string solidPng(int width, int height, uint8_t red, uint8_t green, uint8_t blue);

  // The service's outside-account bind page at "/auth/bind-third-account-redirect", as it is once
  // the user has signed in at the provider: "?third_account_provider=P&platform=mac&logincode=C"
  // links P (one of the providers linked-sns reports) under the name "P-<uid>" to the account
  // whose uid the login code carries, in `account`, and answers a page whose script hands that
  // account's user info to the application ("userLoginSuccess" with {"code": 0, "data": ...}).
  // A login code that does not unscramble or names no account, or an unknown provider, links
  // nothing and answers 400 with a page that reports the failure ({"code": 1, "info": reason}).
  // `account` must outlive the server's serving.
  static void addBindThirdAccountPage(HttpStandin& server, account::AccountServer& account);
};

}  // namespace standin
