#pragma once
// The general pasteboard, for texts only. The Qt application implements it; tests record the
// calls.
#include <string>
#include <vector>

class Clipboard {
 public:
  virtual ~Clipboard() = default;
  // Every text on the pasteboard, in its order (none when it holds no text).
  virtual std::vector<std::string> texts() = 0;
  // Replaces the pasteboard's contents with one text.
  virtual void setText(const std::string& text) = 0;
  // Empties the pasteboard.
  virtual void clear() = 0;
};
