#pragma once
// Makes the main window's root for the start-up container.
#include "gelmora/Application/RootViewControllerFactory.h"

namespace gelmora::app {

class RootFactory : public RootViewControllerFactory {
 public:
  std::shared_ptr<RootViewController> create() override;
};

}  // namespace gelmora::app
