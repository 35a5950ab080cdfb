#include "Brevant/IpDatabase.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>

#include "Brevant/Log.h"

namespace brevant {
namespace {

bool parse_number(std::string_view s, uint64_t max, uint64_t* out) {
  if (s.empty() || s.size() > 10) return false;
  uint64_t v = 0;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || ptr != s.data() + s.size() || v > max) return false;
  *out = v;
  return true;
}

bool parse_line(std::string_view line, IpDatabase::Range* r) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  std::string_view fields[4];
  for (int i = 0; i < 4; ++i) {
    size_t tab = line.find('\t');
    if (i < 3) {
      if (tab == std::string_view::npos) return false;
      fields[i] = line.substr(0, tab);
      line.remove_prefix(tab + 1);
    } else {
      if (tab != std::string_view::npos) return false;
      fields[i] = line;
    }
  }
  uint64_t first, last, area, isp;
  if (!parse_number(fields[0], 0xFFFFFFFFu, &first) ||
      !parse_number(fields[1], 0xFFFFFFFFu, &last) || !parse_number(fields[2], 0xFFFF, &area) ||
      !parse_number(fields[3], 0xFFFF, &isp) || first > last)
    return false;
  *r = {static_cast<uint32_t>(first), static_cast<uint32_t>(last),
        static_cast<uint32_t>((isp << 16) | area)};
  return true;
}

}  // namespace

IpDatabase IpDatabase::parse(std::string_view text, int flags) {
  IpDatabase db;
  while (!text.empty()) {
    size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    if (line.empty() || line == "\r") continue;
    Range r;
    if (parse_line(line, &r))
      db.ranges_.push_back(r);
    else
      ++db.skipped_;
  }
  if (flags & 1) {
    std::stable_sort(db.ranges_.begin(), db.ranges_.end(),
                     [](const Range& a, const Range& b) { return a.first < b.first; });
    std::vector<Range> kept;
    kept.reserve(db.ranges_.size());
    for (const Range& r : db.ranges_) {
      // Overlapping ranges would make the binary search answer by accident of order.
      if (!kept.empty() && r.first <= kept.back().last) {
        ++db.skipped_;
        continue;
      }
      kept.push_back(r);
    }
    db.ranges_ = std::move(kept);
  }
  return db;
}

uint32_t IpDatabase::find(uint32_t addr) const {
  // Last range whose first address is not above addr.
  auto it = std::upper_bound(ranges_.begin(), ranges_.end(), addr,
                             [](uint32_t a, const Range& r) { return a < r.first; });
  if (it == ranges_.begin()) return 0;
  --it;
  return addr <= it->last ? it->value : 0;
}

IpDatabaseHandle ip_database_new_from_file(const std::string& path, int flags) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    log_message(LogLevel::Error, "area/ISP file cannot be read: " + path);
    return nullptr;
  }
  std::ostringstream buf;
  buf << in.rdbuf();
  auto db = std::make_unique<IpDatabase>(IpDatabase::parse(buf.str(), flags));
  std::string line = "loaded " + std::to_string(db->size()) + " ranges from " + path;
  if (db->skipped_lines() > 0) {
    line += ", skipped " + std::to_string(db->skipped_lines()) + " bad lines";
    log_message(LogLevel::Error, line);
  } else {
    log_message(LogLevel::Info, line);
  }
  return db;
}

void ip_range_list_free(IpDatabaseHandle& db) { db.reset(); }

uint32_t find_value_in_range_list(const IpDatabase* db, uint32_t addr) {
  return db ? db->find(addr) : 0;
}

}  // namespace brevant
