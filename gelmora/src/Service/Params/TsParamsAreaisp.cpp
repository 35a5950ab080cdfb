// The area and ISP address table of the rule store.
#include <charconv>
#include <fstream>
#include <iterator>
#include <limits>
#include <mutex>

#include "gelmora/Service/Params/AreaispItem.h"
#include "gelmora/Service/Params/TsParams.h"
#include "gelmora/Service/Tools/LOG.h"
#include "gelmora/Service/Tools/TsConvertHelper.h"

namespace {

struct AreaispState {
  std::mutex mu;
  std::vector<AreaispItem> items;
  std::optional<std::string> downloadAddress;
  std::optional<std::string> sha1;
};

AreaispState& state() {
  static AreaispState s;
  return s;
}

template <class T>
std::optional<T> decimal(std::string_view field) {
  T value{};
  if (field.empty()) return std::nullopt;
  auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), value);
  if (ec != std::errc() || end != field.data() + field.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<AreaispItem> AreaispItem::fromLine(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  std::string_view fields[4];
  std::size_t count = 0;
  std::size_t start = 0;
  for (;;) {
    std::size_t tab = line.find('\t', start);
    if (count == 4) return std::nullopt;  // a fifth field
    fields[count++] = line.substr(start, tab == std::string_view::npos ? tab : tab - start);
    if (tab == std::string_view::npos) break;
    start = tab + 1;
  }
  if (count != 4) return std::nullopt;
  auto first = decimal<std::uint32_t>(fields[0]);
  auto last = decimal<std::uint32_t>(fields[1]);
  auto area = decimal<std::int32_t>(fields[2]);
  auto isp = decimal<std::int32_t>(fields[3]);
  if (!first || !last || !area || !isp) return std::nullopt;
  return AreaispItem{*area, *isp,
                     TsConvertHelper::longlongToIPAddress(*first) + "-" +
                         TsConvertHelper::longlongToIPAddress(*last)};
}

void AreaIspService::update() { LOG::console("IP库解析成功"); }

void TsParams::updateAreaispListWithFile(const std::string& path) {
  {
    std::lock_guard lock(state().mu);
    state().items.clear();
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    LOG::console(path + " 不存在或者无法被读取");
    return;
  }
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string_view> lines;
  for (std::size_t start = 0;;) {
    std::size_t nl = text.find('\n', start);
    lines.emplace_back(
        std::string_view(text).substr(start, nl == std::string::npos ? nl : nl - start));
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  LOG::console("一共获取[" + std::to_string(lines.size()) + "]行文本");
  std::vector<AreaispItem> items;
  std::size_t skipped = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    auto item = AreaispItem::fromLine(lines[i]);
    if (!item) {
      if (!lines[i].empty()) ++skipped;
      continue;
    }
    auto describe = [&](const char* which) {
      LOG::console(std::string(which) + " area=" + std::to_string(item->area) +
                   ", isp=" + std::to_string(item->isp) + ", ip=" + item->ip);
    };
    if (i == 0) describe("最前一项是");
    if (i + 1 == lines.size()) describe("最后一项是");
    items.push_back(std::move(*item));
  }
  if (skipped > 0) LOG::console("skipped " + std::to_string(skipped) + " malformed lines");
  std::lock_guard lock(state().mu);
  state().items = std::move(items);
}

std::vector<std::string> TsParams::getIPListFromAreaisp(std::int32_t area, std::int32_t isp) {
  std::lock_guard lock(state().mu);
  std::vector<std::string> out;
  for (const auto& item : state().items) {
    if (item.area == area && item.isp == isp) out.push_back(item.ip);
  }
  return out;
}

std::vector<AreaispItem> TsParams::getAreaispList() {
  std::lock_guard lock(state().mu);
  return state().items;
}

void TsParams::updateWithAreaispReturnObject(const nlohmann::json& reply) {
  if (!reply.is_object()) return;
  auto data = reply.find("data");
  if (data == reply.end() || !data->is_object()) return;
  std::lock_guard lock(state().mu);
  if (auto f = data->find("file"); f != data->end() && f->is_string()) {
    state().downloadAddress = f->get<std::string>();
  }
  if (auto s = data->find("sha1"); s != data->end() && s->is_string()) {
    state().sha1 = s->get<std::string>();
  }
}

std::optional<std::string> TsParams::getAreaispDownloadAddress() {
  std::lock_guard lock(state().mu);
  return state().downloadAddress;
}

std::optional<std::string> TsParams::getAreaispSha1() {
  std::lock_guard lock(state().mu);
  return state().sha1;
}
