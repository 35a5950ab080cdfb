#pragma once
// One REST call: path, method, parameters, answer handling. Typed calls derive from tq::Call.
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "Tovra/REST/TQAPI.h"

class TQRestAPI : public TQAPI {
 public:
  TQRestAPI();

  // Request path, or a whole URL when it begins with "http".
  const std::string& path() const { return path_; }
  void setPath(std::string p) { path_ = std::move(p); }
  const std::string& method() const { return method_; }
  void setMethod(std::string m) { method_ = std::move(m); }
  // Parameters handed to the request serialiser; an empty dictionary at start.
  const nlohmann::json& params() const { return params_; }
  void setParams(nlohmann::json p) { params_ = std::move(p); }
  // Absolute URL of the request actually sent.
  const std::string& url() const { return url_; }
  void setUrl(std::string u) { url_ = std::move(u); }
  bool autoSerializingResp() const { return autoSerializingResp_; }
  void setAutoSerializingResp(bool v) { autoSerializingResp_ = v; }

  TQAPIEngine& engine() override;
  std::string className() const override { return "TQRestAPI"; }

  // Fills params from req (a dictionary as it is, a model through its dictionary); typed calls
  // also set path and method here. False refuses the call: it fails with no error.
  virtual bool prepareParams();
  void send() override;

  // A server error for a dictionary answer whose "code" is not 0; nothing otherwise.
  virtual std::vector<TQError> parseResponseErrors(const nlohmann::json& answer) const;
  // The payload inside the answer: its "data".
  virtual nlohmann::json unwrapRespData(const nlohmann::json& answer);
  // Whether a response model class is declared (typed calls answer true).
  virtual bool hasRespClass() const { return false; }
  // Maps a dictionary or list payload to the response model(s); false with *error on failure.
  // Only asked when hasRespClass().
  virtual bool mapResp(const nlohmann::json& payload, TQError* error);
  // Answer handling: respData, service errors, payload mapping, then success or failure.
  virtual void handleRespData(const nlohmann::json& answer);

  // Body text for the command line in logs: the request's JSON.
  virtual std::string encodedPostDataString() const;
  // "curl -X ..." for logs, with the given headers (the engine passes the global headers).
  std::string curlCommandLineString() const;

 private:
  std::string path_;
  std::string method_;
  nlohmann::json params_ = nlohmann::json::object();
  std::string url_;
  bool autoSerializingResp_ = true;
};
