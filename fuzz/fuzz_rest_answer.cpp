// Answer handling of a call with a response class: any status, content type and body bytes.
// The first input byte picks status and content type; the rest is the body.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "Tovra/REST/TQCall.h"
#include "Tovra/REST/TQSerializers.h"

namespace {

struct Entry : TQAPIModel {
  std::optional<std::string> name;
  std::optional<tq::Number> size;
  std::optional<std::vector<std::string>> tags;
  bool operator==(const Entry&) const = default;
  static constexpr auto fields() {
    return std::make_tuple(tq::field("name", &Entry::name), tq::field("size", &Entry::size),
                           tq::field("tags", &Entry::tags));
  }
};

struct Answer : TQAPIModel {
  std::optional<std::string> title;
  std::optional<Entry> entry;
  std::optional<std::vector<Entry>> entries;
  bool operator==(const Answer&) const = default;
  static constexpr auto fields() {
    return std::make_tuple(tq::field("title", &Answer::title), tq::field("entry", &Answer::entry),
                           tq::field("entries", &Answer::entries));
  }
};

struct FuzzCall : tq::Call<FuzzCall, tq::NoModel, Answer, TQRestAPI> {
  static constexpr const char* kPath = "/fuzz";
};

const char* const kTypes[] = {"application/json", "text/json; charset=utf-8", "text/javascript",
                              "text/html", ""};
const long kStatuses[] = {200, 204, 299, 301, 404, 500};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  uint8_t pick = data[0];
  tq::HttpResponse response;
  response.status = kStatuses[(pick >> 3) % (sizeof kStatuses / sizeof kStatuses[0])];
  response.headers.emplace_back("Content-Type", kTypes[pick % 5]);
  response.body.assign(reinterpret_cast<const char*>(data + 1), size - 1);

  tq::TQResponseSerializer serializer;
  nlohmann::json answer;
  TQError error = serializer.decode(response, answer);
  if (error) {
    if (!answer.is_null() || error.description.empty()) __builtin_trap();
    return 0;
  }
  for (bool automatic : {true, false}) {
    auto call = std::make_shared<FuzzCall>();
    call->setAutoSerializingResp(automatic);
    call->handleRespData(answer);
    int64_t status = call->status();
    if (status != TQAPI::TQAPIStatusSuccess && status != TQAPI::TQAPIStatusFailed) {
      __builtin_trap();
    }
    // A failure always carries an error here (there is no parameter check on this path).
    if (status == TQAPI::TQAPIStatusFailed && call->lastErrors().empty()) __builtin_trap();
    if (call->resp() && !tq::fromDictionary<Answer>(tq::toDictionary(*call->resp()))) {
      __builtin_trap();
    }
    (void)call->description();
  }
  return 0;
}
