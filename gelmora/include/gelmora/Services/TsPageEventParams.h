#pragma once
// Parameters of one page-view hit: the event's plus the page.
#include "gelmora/Services/TsEventParams.h"

class TsPageEventParams : public TsEventParams {
 public:
  std::optional<std::string> hostName;   // "dh"
  std::optional<std::string> pagePath;   // "dp"
  std::optional<std::string> pageTitle;  // "dt"
  std::optional<std::string> random;     // "z": cache buster

  Pairs dictionaryRepresentation() const override;
};
