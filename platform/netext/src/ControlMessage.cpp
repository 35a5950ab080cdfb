#include "platform/netext/ControlMessage.h"

#include <Tovra/Codec/Base64.h>

#include <utility>

namespace platform::netext {
namespace {

using nlohmann::json;

bool fail(ControlError* error, std::int64_t code, std::string description) {
  if (error) *error = ControlError{kControlErrorDomain, code, std::move(description)};
  return false;
}

std::optional<json> parseObject(std::string_view bytes, ControlError* error) {
  if (bytes.size() > kMaxControlMessageSize) {
    fail(error, 1, "control message larger than 1 MiB");
    return std::nullopt;
  }
  json value = json::parse(bytes.begin(), bytes.end(), nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) {
    fail(error, 2, "control message is not valid JSON");
    return std::nullopt;
  }
  if (!value.is_object()) {
    fail(error, 3, "control message is not a JSON object");
    return std::nullopt;
  }
  return value;
}

json errorToJson(const ControlError& e) {
  return json{{"domain", e.domain}, {"code", e.code}, {"description", e.description}};
}

bool errorFromJson(const json& value, ControlError& out, ControlError* error) {
  if (!value.is_object()) return fail(error, 3, "\"error\" is not an object");
  auto domain = value.find("domain");
  auto code = value.find("code");
  auto description = value.find("description");
  if (domain == value.end() || !domain->is_string())
    return fail(error, 3, "\"error.domain\" is not a string");
  if (code == value.end() || !code->is_number_integer())
    return fail(error, 3, "\"error.code\" is not an integer");
  if (description != value.end() && !description->is_string() && !description->is_null())
    return fail(error, 3, "\"error.description\" is not a string");
  out.domain = domain->get<std::string>();
  out.code = code->get<std::int64_t>();
  out.description = (description != value.end() && description->is_string())
                        ? description->get<std::string>()
                        : std::string();
  return true;
}

}  // namespace

ControlRequest ControlRequest::start(nlohmann::json options) {
  ControlRequest r;
  r.cmd = ControlCommand::Start;
  r.options = options.is_object() ? std::move(options) : nlohmann::json::object();
  return r;
}

ControlRequest ControlRequest::stop(std::int64_t reason) {
  ControlRequest r;
  r.cmd = ControlCommand::Stop;
  r.reason = reason;
  return r;
}

ControlRequest ControlRequest::message(std::string data) {
  ControlRequest r;
  r.cmd = ControlCommand::Message;
  r.data = std::move(data);
  return r;
}

ControlRequest ControlRequest::status() { return ControlRequest{}; }

DaemonMessage DaemonMessage::statusEvent(VpnStatus status, std::optional<ControlError> error) {
  DaemonMessage m;
  m.kind = DaemonMessageKind::Status;
  m.status = status;
  m.error = std::move(error);
  return m;
}

DaemonMessage DaemonMessage::replyMessage(std::optional<std::string> reply) {
  DaemonMessage m;
  m.kind = DaemonMessageKind::Reply;
  m.reply = std::move(reply);
  return m;
}

DaemonMessage DaemonMessage::errorMessage(ControlError error) {
  DaemonMessage m;
  m.kind = DaemonMessageKind::Error;
  m.error = std::move(error);
  return m;
}

std::string encodeRequest(const ControlRequest& request) {
  json out;
  switch (request.cmd) {
    case ControlCommand::Start:
      out = {{"cmd", "start"},
             {"options", request.options.is_object() ? request.options : json::object()}};
      break;
    case ControlCommand::Stop:
      out = {{"cmd", "stop"}, {"reason", request.reason}};
      break;
    case ControlCommand::Message:
      out = {{"cmd", "message"}, {"data", tq::base64Encode(request.data)}};
      break;
    case ControlCommand::Status:
      out = {{"cmd", "status"}};
      break;
  }
  // Invalid UTF-8 inside options must not throw out of the codec.
  return out.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string encodeDaemonMessage(const DaemonMessage& message) {
  json out;
  switch (message.kind) {
    case DaemonMessageKind::Status:
      out = {{"status", static_cast<int>(message.status)},
             {"error", message.error ? errorToJson(*message.error) : json(nullptr)}};
      break;
    case DaemonMessageKind::Reply:
      out = {{"reply", message.reply ? json(tq::base64Encode(*message.reply)) : json(nullptr)}};
      break;
    case DaemonMessageKind::Error:
      out = {{"error", errorToJson(message.error.value_or(ControlError{}))}};
      break;
  }
  return out.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::optional<ControlRequest> decodeRequest(std::string_view bytes, ControlError* error) {
  auto value = parseObject(bytes, error);
  if (!value) return std::nullopt;
  auto cmd = value->find("cmd");
  if (cmd == value->end() || !cmd->is_string()) {
    fail(error, 3, "\"cmd\" is missing or not a string");
    return std::nullopt;
  }
  const std::string name = cmd->get<std::string>();
  ControlRequest request;
  if (name == "start") {
    request.cmd = ControlCommand::Start;
    auto options = value->find("options");
    if (options != value->end() && !options->is_null()) {
      if (!options->is_object()) {
        fail(error, 3, "\"options\" is not an object");
        return std::nullopt;
      }
      request.options = *options;
    }
  } else if (name == "stop") {
    request.cmd = ControlCommand::Stop;
    auto reason = value->find("reason");
    if (reason != value->end() && !reason->is_null()) {
      if (!reason->is_number_integer() || reason->get<std::int64_t>() < 0) {
        fail(error, 3, "\"reason\" is not a non-negative integer");
        return std::nullopt;
      }
      request.reason = reason->get<std::int64_t>();
    }
  } else if (name == "message") {
    request.cmd = ControlCommand::Message;
    auto data = value->find("data");
    if (data == value->end() || !data->is_string()) {
      fail(error, 3, "\"data\" is missing or not a string");
      return std::nullopt;
    }
    auto decoded = tq::base64Decode(data->get_ref<const std::string&>());
    if (!decoded) {
      fail(error, 3, "\"data\" is not base64");
      return std::nullopt;
    }
    request.data = std::move(*decoded);
  } else if (name == "status") {
    request.cmd = ControlCommand::Status;
  } else {
    fail(error, 4, "unknown command \"" + name + "\"");
    return std::nullopt;
  }
  return request;
}

std::optional<DaemonMessage> decodeDaemonMessage(std::string_view bytes, ControlError* error) {
  auto value = parseObject(bytes, error);
  if (!value) return std::nullopt;
  DaemonMessage message;
  auto status = value->find("status");
  auto reply = value->find("reply");
  auto err = value->find("error");
  if (status != value->end()) {
    if (!status->is_number_integer() || status->get<std::int64_t>() < 0 ||
        status->get<std::int64_t>() > 5) {
      fail(error, 3, "\"status\" is not an integer from 0 to 5");
      return std::nullopt;
    }
    message.kind = DaemonMessageKind::Status;
    message.status = static_cast<VpnStatus>(status->get<int>());
    if (err != value->end() && !err->is_null()) {
      ControlError e;
      if (!errorFromJson(*err, e, error)) return std::nullopt;
      message.error = std::move(e);
    }
    return message;
  }
  if (reply != value->end()) {
    message.kind = DaemonMessageKind::Reply;
    if (reply->is_null()) return message;
    if (!reply->is_string()) {
      fail(error, 3, "\"reply\" is not a string or null");
      return std::nullopt;
    }
    auto decoded = tq::base64Decode(reply->get_ref<const std::string&>());
    if (!decoded) {
      fail(error, 3, "\"reply\" is not base64");
      return std::nullopt;
    }
    message.reply = std::move(*decoded);
    return message;
  }
  if (err != value->end()) {
    ControlError e;
    if (!errorFromJson(*err, e, error)) return std::nullopt;
    message.kind = DaemonMessageKind::Error;
    message.error = std::move(e);
    return message;
  }
  fail(error, 3, "message has none of \"status\", \"reply\" or \"error\"");
  return std::nullopt;
}

}  // namespace platform::netext
