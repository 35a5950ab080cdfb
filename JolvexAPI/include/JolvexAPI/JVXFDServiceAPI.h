#pragma once
// Call base of the feedback service: the account service's call base on the feedback engine.
#include <string>

#include "JolvexAPI/JVXServiceAPI.h"

class JVXFDServiceAPI : public JVXServiceAPI {
 public:
  TQAPIEngine& engine() override;
  std::string className() const override { return "JVXFDServiceAPI"; }
};
