#pragma once
// Opens a web address in the user's default browser.
#include <string>

class UrlOpener {
 public:
  virtual ~UrlOpener() = default;
  virtual void openURL(const std::string& url) = 0;
};
