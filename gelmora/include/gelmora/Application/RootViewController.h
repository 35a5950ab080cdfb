#pragma once
// The window-content root of the screens; the Qt application derives its root view from it.
class RootViewController {
 public:
  virtual ~RootViewController() = default;

 protected:
  RootViewController() = default;
};
