#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace brevant {

// Area and ISP address database: inclusive IPv4 ranges, each with the value
// (isp << 16) | area. Read from the area/ISP table text: one range per line,
// "start<TAB>end<TAB>area<TAB>isp", addresses as decimal host-order numbers.
class IpDatabase {
 public:
  struct Range {
    uint32_t first;
    uint32_t last;
    uint32_t value;
  };

  // flags & 1: sort the ranges and drop those that overlap one already kept. Without it the
  // file is trusted to be sorted and disjoint. Bad lines are skipped and counted.
  static IpDatabase parse(std::string_view text, int flags);

  // 0 when no range holds the address.
  uint32_t find(uint32_t addr) const;

  size_t size() const { return ranges_.size(); }
  size_t skipped_lines() const { return skipped_; }
  const std::vector<Range>& ranges() const { return ranges_; }

 private:
  std::vector<Range> ranges_;
  size_t skipped_ = 0;
};

using IpDatabaseHandle = std::unique_ptr<IpDatabase>;

// Loads the table file; null when the file cannot be read (lookups then give 0). Logs one
// line with the number of ranges and, when there were any, of skipped lines.
IpDatabaseHandle ip_database_new_from_file(const std::string& path, int flags);
void ip_range_list_free(IpDatabaseHandle& db);
// Value of the range holding addr (host order), or 0 when there is none or no database.
uint32_t find_value_in_range_list(const IpDatabase* db, uint32_t addr);

}  // namespace brevant
