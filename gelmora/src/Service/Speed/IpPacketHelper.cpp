#include "gelmora/Service/Speed/IpPacketHelper.h"

#include <algorithm>
#include <cctype>

#include "gelmora/Service/Params/TsParams.h"
#include "gelmora/Service/Speed/Timing.h"
#include "gelmora/Service/Tools/LOG.h"
#include "gelmora/Service/Tools/TsFileHelper.h"
#include "gelmora/Service/Web/TsFileDownload.h"
#include "gelmora/Service/Web/TsWebService.h"

namespace {

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// Hex digests compare without regard to case: the service has sent both.
bool sameDigest(const std::string& a, const std::string& b) { return lower(a) == lower(b); }

}  // namespace

bool IpPacketHelper::updateIpPacket() {
  TQError error;
  auto answer = TsWebService::getAreaispDownloadAddress(&error);
  if (!answer) return false;
  std::string file;
  std::optional<std::string> sha1;
  if (auto data = answer->find("data"); data != answer->end() && data->is_object()) {
    if (auto f = data->find("file"); f != data->end() && f->is_string())
      file = f->get<std::string>();
    // Only text counts; a number is taken as no digest at all.
    if (auto s = data->find("sha1"); s != data->end() && s->is_string())
      sha1 = s->get<std::string>();
  }
  const std::string path = TsParams::getAreaispPath();
  if (TsFileHelper::IsExist(path) && sha1 && sameDigest(TsFileHelper::Sha1Value(path), *sha1)) {
    MLOG().INFO("本地IP库已存在，无需更新", false);
  } else {
    // Checked before it replaces the library: a wrong file never overwrites a good one.
    auto check = [&](const std::string& temp, TQError& why) {
      const std::string got = TsFileHelper::Sha1Value(temp);
      MLOG().INFO("IP库文件下载成功 sha1=" + got, false);
      if (sha1 && !sha1->empty() && !sameDigest(got, *sha1)) {
        MLOG().ERROR("IP库文件下载失败，哈希值不正确 sha1=" + got);
        why = TQError{"", 0, "hash mismatch", std::nullopt};
        return false;
      }
      return true;
    };
    auto outcome = TsFileDownload::download(file, path, Timing::current().downloadLimits(), check);
    using Kind = TsDownloadOutcome::Kind;
    switch (outcome.kind) {
      case Kind::Done:
        break;
      case Kind::Empty:
        MLOG().ERROR("IP文件下载失败，返回值长度等于0");
        return false;
      case Kind::Rejected:
        return false;
      default:
        MLOG().ERROR("IP库文件下载异常信息 " + outcome.error.description);
        return false;
    }
    MLOG().INFO("IP库文件下载成功", false);
  }
  TsParams::updateAreaispListWithFile(path);
  MLOG().INFO("IP库提取成功", false);
  return true;
}
