#pragma once
// Call base of the account, line and shop service.
#include <optional>
#include <string>

#include "JolvexAPI/JolvexSchemaModels.h"
#include "Tovra/REST/TQRestAPI.h"

class JVXServiceAPI : public TQRestAPI {
 public:
  TQAPIEngine& engine() override;
  std::string className() const override { return "JVXServiceAPI"; }

  // The pop-up of the last answer's payload, when the payload was a dictionary.
  const std::optional<JVXRespPopModel>& popInfoModel() const { return popInfo_; }
  // The same as a dictionary, for handlers that only know TQAPI; null when there is none.
  nlohmann::json popInfo() const override;

  // The payload under "data", else under "result"; reads the pop-up from it on the way.
  nlohmann::json unwrapRespData(const nlohmann::json& answer) override;

  // For the command line in logs: the form body as sent, its "info" masked.
  std::string encodedPostDataString() const override;

  std::string description() const override;

 protected:
  void resetForSend() override;

 private:
  std::optional<JVXRespPopModel> popInfo_;
};
