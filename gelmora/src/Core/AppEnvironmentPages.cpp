// The brand's top-up and order page addresses; apart from the brand data because they reach the
// user controller and the analytics service.
#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/TsUserController.h"
#include "gelmora/Services/TsAnalyticsService.h"
#include "gelmora/Shared/Tessaryn.h"

std::string AppEnvironment::TopupURL() const {
  // The login code arrives URL-encoded already; the other values are encoded here so that an
  // "&" or "#" in them cannot add or cut query items.
  std::string url =
      "http://" + WebDomain() + "/in-app/package?is_pc=1&logincode=" + app().user().loginCode();
  auto ga = app().defaults().gaParams();
  if (ga && !ga->empty()) url += "&_ga=" + Tessaryn::urlEncode(*ga);
  url += "&lang=" + Tessaryn::urlEncode(app().language().value_or(""));
  return url;
}

std::string AppEnvironment::OrderURL() const {
  return "http://" + WebDomain() + "/in-app/orders?logincode=" + app().user().loginCode() +
         "&lang=" + Tessaryn::urlEncode(app().language().value_or("")) +
         "&_ga=" + Tessaryn::urlEncode(app().analytics().cid());
}
