#pragma once
// The desktop clipboard (QClipboard), texts only.
#include "gelmora/Application/Clipboard.h"

namespace gelmora::ui {

class QtClipboard : public Clipboard {
 public:
  std::vector<std::string> texts() override;
  void setText(const std::string& text) override;
  void clear() override;
};

}  // namespace gelmora::ui
