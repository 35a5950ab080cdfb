#pragma once
// Base of every game-service call. Answers are {code, msg (or info), result or data}; the
// payload is "result" when present, else "data". Game-service calls carry no pop-up information.
#include <optional>
#include <string>

#include "Tovra/REST/TQRestAPI.h"

class PXAServiceAPI : public TQRestAPI {
 public:
  // The "msg" of the last answer: text as is, any other kind as its JSON text; none when the
  // answer has no "msg" or is not an object. Set before the payload is unwrapped, so a failed
  // call keeps it too.
  const std::optional<std::string>& respMessage() const { return respMessage_; }
  void setRespMessage(std::optional<std::string> m) { respMessage_ = std::move(m); }

  nlohmann::json unwrapRespData(const nlohmann::json& answer) override;
  // For logs only: the scrambled text is reversible, so it is never shown.
  std::string encodedPostDataString() const override;
  std::string description() const override;
  std::string className() const override { return "PXAServiceAPI"; }

 protected:
  void resetForSend() override;

 private:
  std::optional<std::string> respMessage_;
};
