#pragma once
// Ends the application: leaves the Qt event loop with the status, or exits at once when no loop
// runs yet.
#include "gelmora/Application/ProcessControl.h"

namespace gelmora::ui {

class QtProcessControl : public ProcessControl {
 public:
  void exit(int status) override;
};

}  // namespace gelmora::ui
