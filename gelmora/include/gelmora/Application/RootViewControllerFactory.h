#pragma once
// Creates the root view controller at the end of the start-up.
#include <memory>

#include "gelmora/Application/RootViewController.h"

class RootViewControllerFactory {
 public:
  virtual ~RootViewControllerFactory() = default;
  virtual std::shared_ptr<RootViewController> create() = 0;
};
