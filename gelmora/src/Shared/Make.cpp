#include "gelmora/Shared/Make.h"

#include <locale.h>
#include <time.h>

#include <cstdio>
#include <list>
#include <unordered_map>

namespace Make {

namespace {

constexpr int kDefaultOffset = 8 * 3600;

bool isAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isFieldLetter(char c) {
  return c == 'y' || c == 'M' || c == 'd' || c == 'H' || c == 'm' || c == 's';
}

struct Fields {
  int year = 2000, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

int* fieldSlot(Fields& f, char letter) {
  switch (letter) {
    case 'y':
      return &f.year;
    case 'M':
      return &f.month;
    case 'd':
      return &f.day;
    case 'H':
      return &f.hour;
    case 'm':
      return &f.minute;
    default:
      return &f.second;
  }
}

// Width of a field when it must be read exactly (next to another number) and at most.
int fieldWidth(char letter, int count) {
  if (letter == 'y') return count == 2 ? 2 : std::max(count, 4);
  return std::max(count, 2);
}

std::string twoDigits(int v) {
  char text[8];
  std::snprintf(text, sizeof text, "%02d", v);
  return text;
}

// The machine's LC_TIME locale, built once per thread (like the formatters) and freed with it.
struct ThreadTimeLocale {
  ThreadTimeLocale() {
    loc = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0));
    if (!loc) loc = newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(0));
  }
  ~ThreadTimeLocale() {
    if (loc) freelocale(loc);
  }
  locale_t loc = static_cast<locale_t>(0);
};

locale_t machineTimeLocale() {
  thread_local ThreadTimeLocale holder;
  return holder.loc;
}

const char* dateStyleFormat(Style s) {
  switch (s) {
    case Style::Short:
      return "%x";
    case Style::Medium:
      return "%d %b %Y";
    case Style::Long:
      return "%d %B %Y";
    case Style::Full:
      return "%A, %d %B %Y";
    default:
      return "";
  }
}

const char* timeStyleFormat(Style s) {
  switch (s) {
    case Style::Short:
      return "%H:%M";
    case Style::Medium:
      return "%X";
    case Style::Long:
    case Style::Full:
      return "%X %Z";
    default:
      return "";
  }
}

// The formatters of one thread, the least recently used leaving first once the cache is full,
// so that formats made up from outside cannot grow it without bound.
class FormatterCache {
 public:
  // The slot of the key, made the most recently used; empty when the key is new.
  std::shared_ptr<DateFormatter>& operator[](const std::string& key) {
    auto it = index_.find(key);
    if (it != index_.end()) {
      order_.splice(order_.begin(), order_, it->second);
      return it->second->second;
    }
    if (order_.size() >= kDateFormatterCacheSize) {
      index_.erase(order_.back().first);
      order_.pop_back();
    }
    order_.emplace_front(key, nullptr);
    index_.emplace(key, order_.begin());
    return order_.front().second;
  }

 private:
  using Entry = std::pair<std::string, std::shared_ptr<DateFormatter>>;
  std::list<Entry> order_;  // most recently used first
  std::unordered_map<std::string, std::list<Entry>::iterator> index_;
};

FormatterCache& threadCache() {
  thread_local FormatterCache cache;
  return cache;
}

}  // namespace

int TimeZone::offsetAt(Date date) const {
  if (secondsFromGMT) return *secondsFromGMT;
  time_t t = static_cast<time_t>(date.time_since_epoch().count());
  struct tm tm {};
  if (!localtime_r(&t, &tm)) return 0;
  return static_cast<int>(tm.tm_gmtoff);
}

std::string TimeZone::abbreviation() const {
  if (!secondsFromGMT) {
    time_t now = time(nullptr);
    struct tm tm {};
    if (localtime_r(&now, &tm) && tm.tm_zone) return tm.tm_zone;
    return "GMT";
  }
  int offset = *secondsFromGMT;
  if (offset == 0) return "GMT";
  const char sign = offset < 0 ? '-' : '+';
  offset = offset < 0 ? -offset : offset;
  char text[32];
  if (offset % 3600 == 0) {
    std::snprintf(text, sizeof text, "GMT%c%d", sign, offset / 3600);
  } else {
    std::snprintf(text, sizeof text, "GMT%c%d:%02d", sign, offset / 3600, (offset % 3600) / 60);
  }
  return text;
}

TimeZone defaultTimeZone() { return TimeZone::fixed(kDefaultOffset); }

std::shared_ptr<DateFormatter> DateFormatter::withFormat(std::string format) {
  std::shared_ptr<DateFormatter> f(new DateFormatter());
  f->format_ = std::move(format);
  f->valid_ = true;
  const std::string& s = f->format_;
  for (std::size_t i = 0; i < s.size();) {
    const char c = s[i];
    if (c == '\'') {
      if (i + 1 < s.size() && s[i + 1] == '\'') {
        f->tokens_.push_back({0, 0, "'"});
        i += 2;
        continue;
      }
      std::string literal;
      std::size_t j = i + 1;
      bool closed = false;
      while (j < s.size()) {
        if (s[j] == '\'') {
          if (j + 1 < s.size() && s[j + 1] == '\'') {
            literal.push_back('\'');
            j += 2;
            continue;
          }
          closed = true;
          ++j;
          break;
        }
        literal.push_back(s[j++]);
      }
      if (!closed) f->valid_ = false;
      f->tokens_.push_back({0, 0, literal});
      i = j;
    } else if (isAsciiLetter(c)) {
      std::size_t j = i;
      while (j < s.size() && s[j] == c) ++j;
      if (!isFieldLetter(c)) f->valid_ = false;
      f->tokens_.push_back({c, static_cast<int>(j - i), {}});
      i = j;
    } else {
      f->tokens_.push_back({0, 0, std::string(1, c)});
      ++i;
    }
  }
  return f;
}

std::shared_ptr<DateFormatter> DateFormatter::withStyles(Style dateStyle, Style timeStyle) {
  std::shared_ptr<DateFormatter> f(new DateFormatter());
  f->styled_ = true;
  f->valid_ = true;
  std::string fmt = dateStyleFormat(dateStyle);
  const std::string time = timeStyleFormat(timeStyle);
  if (!fmt.empty() && !time.empty()) fmt += ' ';
  f->strftimeFormat_ = fmt + time;
  return f;
}

std::optional<Date> DateFormatter::dateFromString(std::string_view text) const {
  // Styled formatters only write: their texts depend on the machine's locale.
  if (!valid_ || styled_) return std::nullopt;
  Fields fields;
  std::size_t p = 0;
  for (std::size_t t = 0; t < tokens_.size(); ++t) {
    const Token& token = tokens_[t];
    if (token.letter == 0) {
      if (text.substr(p, token.literal.size()) != token.literal) return std::nullopt;
      p += token.literal.size();
      continue;
    }
    const int width = fieldWidth(token.letter, token.count);
    const bool exact = (t + 1 < tokens_.size() && tokens_[t + 1].letter != 0) ||
                       (token.letter == 'y' && token.count == 2);
    int digits = 0;
    long value = 0;
    while (p < text.size() && isDigit(text[p]) && digits < width) {
      value = value * 10 + (text[p] - '0');
      ++p;
      ++digits;
    }
    if (digits == 0 || (exact && digits != width)) return std::nullopt;
    if (token.letter == 'y' && token.count == 2) value += 2000;
    *fieldSlot(fields, token.letter) = static_cast<int>(value);
  }
  if (p != text.size()) return std::nullopt;

  using namespace std::chrono;
  const year_month_day ymd{year{fields.year}, month{static_cast<unsigned>(fields.month)},
                           day{static_cast<unsigned>(fields.day)}};
  if (fields.year < 1 || !ymd.ok() || fields.hour > 23 || fields.minute > 59 ||
      fields.second > 59) {
    return std::nullopt;
  }
  const Date local =
      sys_days{ymd} + hours{fields.hour} + minutes{fields.minute} + seconds{fields.second};
  // A fixed zone converts directly; the machine zone uses the offset near that moment.
  int offset = zone_.offsetAt(local);
  Date result = local - seconds{offset};
  if (!zone_.secondsFromGMT) {
    const int corrected = zone_.offsetAt(result);
    result = local - seconds{corrected};
  }
  return result;
}

std::optional<std::string> DateFormatter::stringFromDate(Date date) const {
  if (!valid_) return std::nullopt;
  using namespace std::chrono;
  const int offset = zone_.offsetAt(date);
  const Date local = date + seconds{offset};
  const auto dayPoint = floor<days>(local);
  const year_month_day ymd{dayPoint};
  const hh_mm_ss<seconds> hms{local - dayPoint};

  if (styled_) {
    struct tm tm {};
    tm.tm_year = static_cast<int>(ymd.year()) - 1900;
    tm.tm_mon = static_cast<int>(static_cast<unsigned>(ymd.month())) - 1;
    tm.tm_mday = static_cast<int>(static_cast<unsigned>(ymd.day()));
    tm.tm_hour = static_cast<int>(hms.hours().count());
    tm.tm_min = static_cast<int>(hms.minutes().count());
    tm.tm_sec = static_cast<int>(hms.seconds().count());
    tm.tm_wday = static_cast<int>(weekday{dayPoint}.c_encoding());
    const std::string zoneName = zone_.abbreviation();
    tm.tm_gmtoff = offset;
    tm.tm_zone = zoneName.c_str();
    char buffer[256];
    const std::size_t n =
        strftime_l(buffer, sizeof buffer, strftimeFormat_.c_str(), &tm, machineTimeLocale());
    if (n == 0 && !strftimeFormat_.empty()) return std::nullopt;
    return std::string(buffer, n);
  }

  std::string out;
  for (const Token& token : tokens_) {
    if (token.letter == 0) {
      out += token.literal;
      continue;
    }
    long value = 0;
    switch (token.letter) {
      case 'y':
        value = static_cast<int>(ymd.year());
        break;
      case 'M':
        value = static_cast<unsigned>(ymd.month());
        break;
      case 'd':
        value = static_cast<unsigned>(ymd.day());
        break;
      case 'H':
        value = hms.hours().count();
        break;
      case 'm':
        value = hms.minutes().count();
        break;
      default:
        value = hms.seconds().count();
        break;
    }
    if (token.letter == 'y' && token.count == 2) {
      out += twoDigits(static_cast<int>(((value % 100) + 100) % 100));
      continue;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%0*ld", token.count, value);
    out += text;
  }
  return out;
}

std::shared_ptr<DateFormatter> dateFormatterWithFormat(std::string_view format) {
  return dateFormatterWithFormat(format, defaultTimeZone());
}

std::shared_ptr<DateFormatter> dateFormatterWithFormat(std::string_view format,
                                                       std::optional<TimeZone> timeZone) {
  return dateFormatterWithFormat(format, timeZone, std::nullopt);
}

std::shared_ptr<DateFormatter> dateFormatterWithFormat(std::string_view format,
                                                       std::optional<TimeZone> timeZone,
                                                       std::optional<std::string> locale) {
  if (format.empty()) return nullptr;
  const std::string key = "NSDateFormatter-tz-" +
                          (timeZone ? timeZone->abbreviation() : std::string("(null)")) + "-fmt-" +
                          std::string(format) + "-loc-" + (locale ? *locale : "(null)");
  auto& cache = threadCache();
  auto& slot = cache[key];
  if (!slot) {
    slot = DateFormatter::withFormat(std::string(format));
    slot->setLocale("en_US_POSIX");
  }
  if (locale) slot->setLocale(*locale);
  if (timeZone) slot->setTimeZone(*timeZone);
  return slot;
}

std::shared_ptr<DateFormatter> dateFormatterWithDateStyle(Style style,
                                                          std::optional<TimeZone> timeZone) {
  const std::string key = "NSDateFormatter-" +
                          (timeZone ? timeZone->abbreviation() : std::string("(null)")) +
                          "-dateStyle-" + std::to_string(static_cast<int>(style));
  auto& slot = threadCache()[key];
  if (!slot) slot = DateFormatter::withStyles(style, Style::None);
  if (timeZone) slot->setTimeZone(*timeZone);
  return slot;
}

std::shared_ptr<DateFormatter> dateFormatterWithTimeStyle(Style style,
                                                          std::optional<TimeZone> timeZone) {
  const std::string key = "NSDateFormatter-" +
                          (timeZone ? timeZone->abbreviation() : std::string("(null)")) +
                          "-timeStyle-" + std::to_string(static_cast<int>(style));
  auto& slot = threadCache()[key];
  if (!slot) slot = DateFormatter::withStyles(Style::None, style);
  if (timeZone) slot->setTimeZone(*timeZone);
  return slot;
}

}  // namespace Make
