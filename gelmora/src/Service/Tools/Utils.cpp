#include "gelmora/Service/Tools/Utils.h"

#include <mutex>
#include <nlohmann/json.hpp>

#include "ChildProcess.h"
#include "gelmora/Application/UrlOpener.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/Log.h"
#include "gelmora/Service/Tools/STPrivilegedTask.h"
#include "gelmora/Shared/Tessaryn.h"

namespace {

// Length of the white-space or newline character at `s[i]` (the ASCII ones, NEL and the Unicode
// space and line separators in UTF-8), 0 when there is none.
std::size_t separatorAt(std::string_view s, std::size_t i) {
  const auto b = [&](std::size_t k) {
    return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0u;
  };
  unsigned char c = b(0);
  if (c == ' ' || (c >= '\t' && c <= '\r')) return 1;
  if (c == 0xC2 && (b(1) == 0x85 || b(1) == 0xA0)) return 2;
  if (c == 0xE1 && b(1) == 0x9A && b(2) == 0x80) return 3;  // U+1680
  if (c == 0xE2 && b(1) == 0x80) {
    unsigned char d = b(2);
    if ((d >= 0x80 && d <= 0x8A) || d == 0xA8 || d == 0xA9 || d == 0xAF) return 3;
  }
  if (c == 0xE2 && b(1) == 0x81 && b(2) == 0x9F) return 3;  // U+205F
  if (c == 0xE3 && b(1) == 0x80 && b(2) == 0x80) return 3;  // U+3000
  return 0;
}

std::mutex& taskMutex() {
  static std::mutex m;
  return m;
}
std::shared_ptr<STPrivilegedTask>& cachedTask() {
  static std::shared_ptr<STPrivilegedTask> task;
  return task;
}

std::mutex& openerMutex() {
  static std::mutex m;
  return m;
}
UrlOpener*& opener() {
  static UrlOpener* o = nullptr;
  return o;
}

}  // namespace

std::vector<std::string> Utils::splitCommandLine(std::string_view line) {
  std::vector<std::string> words(1);
  for (std::size_t i = 0; i < line.size();) {
    if (std::size_t n = separatorAt(line, i)) {
      words.emplace_back();
      i += n;
    } else {
      words.back() += line[i++];
    }
  }
  return words;
}

std::int32_t Utils::shellExec(const std::optional<std::string>& commandLine) {
  if (!commandLine) {
    gelmora::logLine("ERROR ShellExec: Illegal Input((null))");
    return -1;
  }
  std::vector<std::string> words = splitCommandLine(*commandLine);
  const std::string program = words.front();
  words.erase(words.begin());
  gelmora::child::Outcome o = gelmora::child::run(program, words);
  const std::int32_t result = o.started ? gelmora::child::exitCode(o.status) : -1;
  std::string args = "(";
  for (std::size_t k = 0; k < words.size(); ++k) args += (k ? ", \"" : "\"") + words[k] + "\"";
  args += ")";
  gelmora::logLine("ShellExec(" + program + " " + args + ") RET(" + std::to_string(result) + ")");
  return result;
}

std::shared_ptr<STPrivilegedTask> Utils::rootExecHandler() {
  std::lock_guard lock(taskMutex());
  if (cachedTask()) return cachedTask();
  // Every user sets its own tool before each launch; this one is a placeholder.
  auto task = std::make_shared<STPrivilegedTask>("/bin/ls");
  if (!task->setRootPrivilege()) return nullptr;
  cachedTask() = task;
  return task;
}

void Utils::resetRootExecHandler() {
  std::lock_guard lock(taskMutex());
  cachedTask().reset();
}

void Utils::setUrlOpener(UrlOpener* o) {
  std::lock_guard lock(openerMutex());
  opener() = o;
}

void Utils::openURLWithDefaultBrowser(const std::string& url) {
  const bool web = url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0;
  UrlOpener* o;
  {
    std::lock_guard lock(openerMutex());
    o = opener();
  }
  if (!web || !o) {
    gelmora::logLine(web ? "openURLWithDefaultBrowser: no opener installed"
                         : "openURLWithDefaultBrowser: not a web address, dropped");
    return;
  }
  o->openURL(url);
}

std::string Utils::versionString() { return app().version() + "." + app().buildVersion(); }

std::int32_t Utils::randomIntegerFrom(std::int32_t from, std::int32_t to) {
  return Tessaryn::randomIntegerFrom(from, to);
}

bool Utils::isValidJsonData(std::string_view data) {
  // No raw NUL is valid anywhere in JSON; the parser would take one as the end of the input.
  if (data.size() <= 2 || data.find('\0') != std::string_view::npos) return false;
  // The top level must be an object or an array; accept() checks the rest without building a
  // document, so deep nesting costs no recursion.
  std::size_t i = 0;
  if (data.substr(0, 3) == "\xEF\xBB\xBF") i = 3;
  while (i < data.size() &&
         (data[i] == ' ' || data[i] == '\t' || data[i] == '\n' || data[i] == '\r'))
    ++i;
  if (i == data.size() || (data[i] != '{' && data[i] != '[')) return false;
  return nlohmann::json::accept(data);
}
