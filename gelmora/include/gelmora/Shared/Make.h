#pragma once
// Date formatters, handed out from a per-thread cache keyed by format (or style), time zone and
// locale. A formatter belongs to the thread that asked for it. The cache keeps the
// kDateFormatterCacheSize formatters used last; one asked for after it left is made anew.
//
// Format-based formatters understand the letters y M d H m s (repeated for zero padding; "yy"
// is a two-digit year) and 'quoted' literals ('' is a quote); a format with any other letter
// gives a formatter that reads and writes nothing. Style-based formatters write with strftime
// in the LC_TIME locale.
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Make {

using Date = std::chrono::sys_seconds;

// A fixed offset from GMT, or the machine's own zone.
struct TimeZone {
  static TimeZone fixed(int secondsFromGMT) { return TimeZone{secondsFromGMT}; }
  static TimeZone local() { return TimeZone{std::nullopt}; }
  std::optional<int> secondsFromGMT;
  // Offset in effect at the given moment.
  int offsetAt(Date date) const;
  // "GMT+8", "GMT-3:30", "GMT", or the machine's zone abbreviation.
  std::string abbreviation() const;
  bool operator==(const TimeZone&) const = default;
};

enum class Style { None = 0, Short = 1, Medium = 2, Long = 3, Full = 4 };

class DateFormatter {
 public:
  static std::shared_ptr<DateFormatter> withFormat(std::string format);
  static std::shared_ptr<DateFormatter> withStyles(Style dateStyle, Style timeStyle);

  const std::string& format() const { return format_; }
  void setTimeZone(TimeZone zone) { zone_ = zone; }
  const TimeZone& timeZone() const { return zone_; }
  void setLocale(std::string identifier) { locale_ = std::move(identifier); }
  const std::string& locale() const { return locale_; }

  // The moment the whole text denotes; none for text that does not match or an invalid date.
  std::optional<Date> dateFromString(std::string_view text) const;
  // The date written in the formatter's zone; none when the format cannot be written.
  std::optional<std::string> stringFromDate(Date date) const;

 private:
  struct Token {
    char letter = 0;  // 0 for a literal
    int count = 0;
    std::string literal;
  };
  DateFormatter() = default;

  std::string format_;
  std::vector<Token> tokens_;
  bool valid_ = false;
  bool styled_ = false;
  std::string strftimeFormat_;
  TimeZone zone_ = TimeZone::local();
  std::string locale_;
};

inline constexpr size_t kDateFormatterCacheSize = 32;

// The fixed +8 h zone of the format-based formatters.
TimeZone defaultTimeZone();

std::shared_ptr<DateFormatter> dateFormatterWithFormat(std::string_view format);
std::shared_ptr<DateFormatter> dateFormatterWithFormat(std::string_view format,
                                                       std::optional<TimeZone> timeZone);
std::shared_ptr<DateFormatter> dateFormatterWithFormat(std::string_view format,
                                                       std::optional<TimeZone> timeZone,
                                                       std::optional<std::string> locale);
std::shared_ptr<DateFormatter> dateFormatterWithDateStyle(Style style,
                                                          std::optional<TimeZone> timeZone = {});
std::shared_ptr<DateFormatter> dateFormatterWithTimeStyle(Style style,
                                                          std::optional<TimeZone> timeZone = {});

}  // namespace Make
