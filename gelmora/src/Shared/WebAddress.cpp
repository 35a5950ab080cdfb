#include "gelmora/Shared/WebAddress.h"

namespace gelmora {

std::string appendLang(const std::string& url, const std::string& lang) {
  if (url.empty()) return {};
  const size_t hash = url.find('#');
  const std::string head = url.substr(0, hash);
  const std::string tail = hash == std::string::npos ? std::string() : url.substr(hash);
  const char* joiner = head.find('?') == std::string::npos ? "?" : "&";
  return head + joiner + "lang=" + lang + tail;
}

bool isRechargeTitle(const std::string& title) {
  return title.find("充值") != std::string::npos || title == "Purchase" ||
         title.find("儲值") != std::string::npos;
}

}  // namespace gelmora
