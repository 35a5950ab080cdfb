#pragma once
// Parsing date texts and writing them in another format.
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "gelmora/Shared/Make.h"

namespace PXExtension {

using Make::Date;
using Make::DateFormatter;

// "yyyy-MM-dd'T'HH:mm:ss"
inline constexpr std::string_view kDefaultInputFormat = "yyyy-MM-dd'T'HH:mm:ss";

std::optional<Date> dateFromString(std::string_view text, const DateFormatter* inputFormatter);
std::optional<Date> dateFromString(std::string_view text, std::string_view inputFormatterString);
// Read with the default input format in the fixed +8 h zone.
std::optional<Date> dateFromUTCString(std::string_view text);

std::optional<std::string> dateStringFromString(std::string_view text,
                                                const DateFormatter* inputFormatter,
                                                const DateFormatter* outputFormatter);
std::optional<std::string> dateStringFromString(std::string_view text,
                                                std::string_view inputFormatString,
                                                std::string_view outputFormatString);
std::optional<std::string> dateStringFromString(std::string_view text,
                                                std::string_view outputFormatString);
// Written with a new formatter in the machine's time zone.
std::optional<std::string> dateStringFromDate(Date date, std::string_view outputFormatString);

}  // namespace PXExtension
