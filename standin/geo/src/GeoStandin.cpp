#include "standin/GeoStandin.h"

#include "JolvexAPI/JVXCrypto.h"

namespace standin {

namespace {
const std::string kGarbage = "\x01\x02<not an answer>\xff";
}

GeoStandin::State::State()
    : serviceData({{"country", "Examplestan"}, {"city", "Sample City"}, {"ip", "203.0.113.9"}}),
      taobao(R"({"code":0,"data":{"ip":"203.0.113.9","country_id":"EX"}})"),
      echo("ip ok 203.0.113.9 from Examplestan\n") {}

GeoStandin::GeoStandin() { install(server_, state_); }

void GeoStandin::setServiceData(nlohmann::json data) {
  std::lock_guard lock(state_->mutex);
  state_->serviceData = std::move(data);
}
void GeoStandin::setServicePlaintext(std::optional<std::string> text) {
  std::lock_guard lock(state_->mutex);
  state_->plaintext = std::move(text);
}
void GeoStandin::setTaobaoAnswer(std::string body) {
  std::lock_guard lock(state_->mutex);
  state_->taobao = std::move(body);
}
void GeoStandin::setEchoAnswer(std::string body) {
  std::lock_guard lock(state_->mutex);
  state_->echo = std::move(body);
}
void GeoStandin::setGarbage(bool on) {
  std::lock_guard lock(state_->mutex);
  state_->garbage = on;
}
void GeoStandin::setBlank(bool on) {
  std::lock_guard lock(state_->mutex);
  state_->blank = on;
}

void GeoStandin::install(HttpStandin& server, std::shared_ptr<State> state) {
  server.handle("/", [state](const Request& request) {
    if (request.method != "POST") return Reply::text("POST only", "text/plain", 405);
    std::lock_guard lock(state->mutex);
    if (state->garbage) return Reply::text(kGarbage);
    std::string plain;
    if (state->blank) {
      plain.push_back(' ');  // one blank
    } else if (state->plaintext) {
      plain = *state->plaintext;
    } else {
      plain = nlohmann::json{{"code", 0}, {"data", state->serviceData}}.dump();
    }
    return Reply::text(JVXCrypto::encryptedStringOfString(plain));
  });
  server.handle(kTaobaoPath, [state](const Request&) {
    std::lock_guard lock(state->mutex);
    if (state->garbage) return Reply::text(kGarbage, "application/json");
    return Reply::json(state->taobao);
  });
  server.handle(kEchoPath, [state](const Request&) {
    std::lock_guard lock(state->mutex);
    if (state->garbage) return Reply::text(kGarbage);
    return Reply::text(state->echo);
  });
}

}  // namespace standin
