#pragma once
// Ends the application.
class ProcessControl {
 public:
  virtual ~ProcessControl() = default;
  virtual void exit(int status) = 0;
};
