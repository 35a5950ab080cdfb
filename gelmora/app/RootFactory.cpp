#include "RootFactory.h"

#include "ui/Sections/Root/TsRootViewController.h"

namespace gelmora::app {

std::shared_ptr<RootViewController> RootFactory::create() { return TsRootViewController::create(); }

}  // namespace gelmora::app
