#include "gelmora/Shared/PXExtension.h"

namespace PXExtension {

std::optional<Date> dateFromString(std::string_view text, const DateFormatter* inputFormatter) {
  if (!inputFormatter) return std::nullopt;
  return inputFormatter->dateFromString(text);
}

std::optional<Date> dateFromString(std::string_view text, std::string_view inputFormatterString) {
  return dateFromString(text, Make::dateFormatterWithFormat(inputFormatterString).get());
}

std::optional<Date> dateFromUTCString(std::string_view text) {
  return dateFromString(text, kDefaultInputFormat);
}

std::optional<std::string> dateStringFromString(std::string_view text,
                                                const DateFormatter* inputFormatter,
                                                const DateFormatter* outputFormatter) {
  auto date = dateFromString(text, inputFormatter);
  if (!date || !outputFormatter) return std::nullopt;
  return outputFormatter->stringFromDate(*date);
}

std::optional<std::string> dateStringFromString(std::string_view text,
                                                std::string_view inputFormatString,
                                                std::string_view outputFormatString) {
  auto in = Make::dateFormatterWithFormat(inputFormatString);
  auto out = Make::dateFormatterWithFormat(outputFormatString);
  return dateStringFromString(text, in.get(), out.get());
}

std::optional<std::string> dateStringFromString(std::string_view text,
                                                std::string_view outputFormatString) {
  return dateStringFromString(text, kDefaultInputFormat, outputFormatString);
}

std::optional<std::string> dateStringFromDate(Date date, std::string_view outputFormatString) {
  if (outputFormatString.empty()) return std::nullopt;
  auto formatter = Make::DateFormatter::withFormat(std::string(outputFormatString));
  formatter->setTimeZone(Make::TimeZone::local());
  return formatter->stringFromDate(date);
}

}  // namespace PXExtension
