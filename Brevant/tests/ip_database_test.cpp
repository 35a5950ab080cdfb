// The area/ISP database: reading the table text, skipping bad lines, lookups at range
// edges, overlapping ranges, and a missing file.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "Brevant/IpDatabase.h"
#include "Brevant/Log.h"

namespace {

// 1.0.0.0 = 16777216, 1.0.0.255 = 16777471, 2.0.0.0 = 33554432
const char* kTable =
    "33554432\t33554687\t12\t3\n"
    "16777216\t16777471\t1\t2\r\n"
    "\n"
    "16777472\t16777472\t65535\t65535\n";

TEST(IpDatabase, ReadsAndFindsRanges) {
  auto db = brevant::IpDatabase::parse(kTable, 1);
  EXPECT_EQ(db.size(), 3u);
  EXPECT_EQ(db.skipped_lines(), 0u);
  struct Case {
    uint32_t addr;
    uint32_t value;
  };
  const Case cases[] = {
      {16777215, 0},               // just below the first range
      {16777216, (2u << 16) | 1},  // first address
      {16777471, (2u << 16) | 1},  // last address
      {16777472, 0xFFFFFFFFu},     // one-address range
      {16777473, 0},               // gap
      {33554432, (3u << 16) | 12},
      {33554687, (3u << 16) | 12},
      {33554688, 0},
      {0, 0},
      {0xFFFFFFFFu, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.addr);
    EXPECT_EQ(brevant::find_value_in_range_list(&db, c.addr), c.value);
  }
  EXPECT_EQ(brevant::find_value_in_range_list(nullptr, 16777216), 0u);
}

TEST(IpDatabase, BadLinesAreSkippedAndCounted) {
  const char* text =
      "16777216\t16777471\t1\t2\n"
      "16777216\t16777471\t1\n"               // three fields
      "16777216\t16777471\t1\t2\t9\n"         // five fields
      "x\t16777471\t1\t2\n"                   // not a number
      "-1\t16777471\t1\t2\n"                  // negative
      "4294967296\t4294967296\t1\t2\n"        // past 32 bits
      "50331648\t50331647\t1\t2\n"            // first after last
      "50331648\t50331649\t65536\t2\n"        // area past 16 bits
      "50331648\t50331649\t1\t99999999999\n"  // ISP far past 16 bits
      "16777300\t16777400\t7\t7\n"            // overlaps the first range
      "\t\t\t\n";
  auto db = brevant::IpDatabase::parse(text, 1);
  EXPECT_EQ(db.size(), 1u);
  EXPECT_EQ(db.skipped_lines(), 10u);
  EXPECT_EQ(db.find(16777350), (2u << 16) | 1);
}

TEST(IpDatabase, FileLoadingLogsOnceAndMissingFileGivesNone) {
  std::vector<std::string> lines;
  brevant::set_log_handler([&](brevant::LogLevel, std::string_view t) { lines.emplace_back(t); });
  char path[] = "/tmp/brevant_ipdb_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  std::ofstream(path) << kTable << "junk\n";
  auto db = brevant::ip_database_new_from_file(path, 1);
  ASSERT_TRUE(db);
  EXPECT_EQ(db->size(), 3u);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("3 ranges"), std::string::npos);
  EXPECT_NE(lines[0].find("skipped 1"), std::string::npos);
  brevant::ip_range_list_free(db);
  EXPECT_FALSE(db);
  std::remove(path);
  EXPECT_FALSE(brevant::ip_database_new_from_file(path, 1));
  brevant::set_log_handler(nullptr);
}

}  // namespace
