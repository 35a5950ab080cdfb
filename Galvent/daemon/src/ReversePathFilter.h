#pragma once
// The strict reverse-path check against the tunnel's policy routing. Once the rule "not fwmark M
// lookup T" sends everything unmarked into the TUN device, the kernel's strict check (rp_filter
// 1) drops every answer that arrives on the real interface for traffic the tunnel passes down
// (the bypass traffic, and a game's traffic while its flow group resolves again): the reverse
// route of such a source points into the TUN device. The loose check (2) still refuses sources
// with no route at all. So while the tunnel runs, a strict "all" setting is loosened to 2, and
// the old value is put back when it stops; a note beside the control socket keeps the old value
// across a crash, for the next run to put back.
#include <filesystem>
#include <string>

class ReversePathFilter {
 public:
  static constexpr const char* kAllSetting = "/proc/sys/net/ipv4/conf/all/rp_filter";

  // `setting`: the "all" setting (/proc/sys/net/ipv4/conf/all/rp_filter); `note`: where the value
  // to put back is kept while it is changed.
  ReversePathFilter(std::filesystem::path setting, std::filesystem::path note);
  ~ReversePathFilter();
  ReversePathFilter(const ReversePathFilter&) = delete;
  ReversePathFilter& operator=(const ReversePathFilter&) = delete;

  // Loosens a strict setting (noted first). A note left by a run that crashed is taken over:
  // its value is the one to put back. Gives what it did, for the log ("" when nothing).
  std::string loosen();
  // Puts the noted value back and removes the note; "" when there was nothing to put back.
  std::string restore();
  // What a run that died left: the value in its note, if any, put back and the note removed.
  static std::string putBackNoted(const std::filesystem::path& setting,
                                  const std::filesystem::path& note);

 private:
  std::filesystem::path setting_, note_;
  std::string saved_;  // the value to put back, while loosened
};
