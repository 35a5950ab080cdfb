#pragma once
// Opens addresses with the desktop's default handler: http and https pages, and mailto for the
// feedback mailbox. Anything else (files, scripts, empty text) is logged and dropped.
#include "gelmora/Application/UrlOpener.h"

namespace gelmora::ui {

class QtUrlOpener : public UrlOpener {
 public:
  void openURL(const std::string& url) override;
  // True for the addresses openURL passes on.
  static bool isOpenable(const std::string& url);
};

}  // namespace gelmora::ui
