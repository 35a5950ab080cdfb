#include "Galvent/VPN/GVQ5VPNController.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "Galvent/Category/RAC.h"
#include "Galvent/Logger/GVLogger.h"
#include "PexaraAPI/PexaraAPI.h"
#include "Tovra/REST/CurlTransport.h"

using platform::reactive::Disposable;
using platform::reactive::Signal;
using platform::reactive::SubscriberPtr;

namespace {

constexpr const char* kRuleFileErrorDomain = "GVQ5RuleFileErrorDomain";

TQError ruleError(long long code, std::string text) {
  return TQError{kRuleFileErrorDomain, code, std::move(text), {}};
}

// Lower-case hexadecimal MD5 of the bytes exactly as stored (NUL bytes included).
std::string md5OfBytes(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr);
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out.push_back(hex[digest[i] >> 4]);
    out.push_back(hex[digest[i] & 15]);
  }
  return out;
}

bool sameDigest(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

std::string percentEncode(std::string_view text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 15]);
    }
  }
  return out;
}

std::optional<std::string> readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return text.str();
}

std::string numberText(const std::optional<tq::Number>& n) {
  return n ? n->toJSON().dump() : std::string("nil");
}

}  // namespace

namespace GVQ5RuleFile {

bool isPlainFileName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

std::optional<PXA_SPEED_START_CACHE_FILE> decode(std::string_view text, TQError* error) {
  auto plain = PXACrypto::decryptedDataFromString(text);
  // Empty plain bytes mean the scrambled part did not decode: never a valid file.
  if (!plain || plain->empty()) {
    if (error) *error = ruleError(2, "the rule file is not scrambled text of the game service");
    return std::nullopt;
  }
  TQError why;
  auto file = tq::fromJSON<PXA_SPEED_START_CACHE_FILE>(*plain, &why);
  if (!file) {
    if (error) *error = ruleError(3, "the rule file is not valid rule JSON: " + why.description);
    return std::nullopt;
  }
  return file;
}

PXA_SPEED_START_INFO merge(const PXA_SPEED_START_NOCACHE_INFO& answer,
                           const PXA_SPEED_START_CACHE_FILE& file, const std::string& fileName) {
  std::map<std::string, const PXA_TRAFFIC_GROUP_V3*> byId;
  if (file.vni_array) {
    for (const auto& g : *file.vni_array) {
      if (g.id) byId.emplace(g.id->toJSON().dump(), &g);
    }
  }
  PXA_SPEED_START_INFO info;
  info.blacklist = file.blacklist;
  info.dns_rule = file.DNS;
  info.flow_id = answer.flowId;
  std::vector<PXA_TRAFFIC_GROUP> groups;
  if (answer.config && answer.config->vni_array) {
    for (const auto& g : *answer.config->vni_array) {
      if (!g.id) {
        GVLogError("id = nil, " + tq::toJSON(g));
        continue;
      }
      auto found = byId.find(g.id->toJSON().dump());
      if (found == byId.end()) {
        GVLogError("Not found cache traffic group: " + numberText(g.id) + ", at file: " + fileName);
        continue;
      }
      const PXA_TRAFFIC_GROUP_V3& cached = *found->second;
      PXA_TRAFFIC_GROUP group;
      group.id = g.id;
      group.entrance = g.entrance;
      group.exits = g.exit;
      group.up_stream_limit = cached.upstream;
      group.down_stream_limit = cached.downstream;
      group.offset = cached.offset;
      group.dest = cached.dest;
      group.traffic_level = cached.flow_level;
      groups.push_back(std::move(group));
    }
  }
  info.vni_array = std::move(groups);
  return info;
}

}  // namespace GVQ5RuleFile

std::filesystem::path GVQ5VPNController::libraryFolder() const {
  if (!library_.empty()) return library_;
  // The rule cache is the user's own: never a shared folder such as /tmp.
  if (!GVQ5RuleFile::isPlainFileName(providerIdentifier())) return {};
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && xdg[0] == '/')
    return std::filesystem::path(xdg) / providerIdentifier();
  if (const char* home = std::getenv("HOME"); home && home[0] == '/')
    return std::filesystem::path(home) / ".local/share" / providerIdentifier();
  return {};
}

namespace {

// The cache folder and the library folder it is in, created private to the user.
bool makePrivateFolder(const std::filesystem::path& folder) {
  std::error_code ec;
  for (const auto& f : {folder.parent_path(), folder}) {
    if (std::filesystem::is_directory(f, ec)) continue;
    std::filesystem::create_directories(f.parent_path(), ec);
    if (std::filesystem::create_directory(f, ec))
      std::filesystem::permissions(f, std::filesystem::perms::owner_all, ec);
  }
  return std::filesystem::is_directory(folder, ec);
}

}  // namespace

Signal<PXA_SPEED_START_CACHE_FILE> GVQ5VPNController::loadRuleFile(const std::string& name,
                                                                   const std::string& md5) {
  using Result = Signal<PXA_SPEED_START_CACHE_FILE>;
  // The name comes from the service and becomes a path: one plain component only.
  if (!GVQ5RuleFile::isPlainFileName(name))
    return Result::error(ruleError(1, "refused rule file name \"" + name + "\""));
  if (libraryFolder().empty())
    return Result::error(
        ruleError(4, "no folder for the rule cache: neither XDG_DATA_HOME nor HOME is set"));
  const std::filesystem::path folder = libraryFolder() / "Rules";
  const std::filesystem::path path = folder / name;

  std::error_code ec;
  if (std::filesystem::is_regular_file(path, ec)) {
    if (auto text = readFile(path)) {
      const std::string digest = md5OfBytes(*text);
      if (sameDigest(digest, md5)) {
        TQError error;
        if (auto file = GVQ5RuleFile::decode(*text, &error)) return Result::just(*file);
        std::filesystem::remove(path, ec);  // matches yet unusable: not kept
        return Result::error(error);
      }
      GVLogError("file " + name + " md5: " + digest + " not match: " + md5 + ", will download.");
    }
  } else {
    makePrivateFolder(folder);
  }

  auto transport =
      transport_ ? transport_ : std::shared_ptr<tq::HttpTransport>(tq::CurlTransport::shared());
  return Result::create([transport, folder, path, name,
                         md5](const SubscriberPtr<PXA_SPEED_START_CACHE_FILE>& s) {
    auto domain = PXAOrgDomain();
    if (!domain || domain->empty()) {
      s->sendError(
          TQError{TQAPILocalErrorDomain, 0, "no game service domain to download from", {}});
      return Disposable::disposed();
    }
    tq::HttpRequest request;
    request.url = "http://" + *domain + "/gameRule/" + percentEncode(name);
    request.maxBodySize = 64u << 20;  // a rule file, not an API answer
    tq::HttpCallbacks callbacks;
    callbacks.completion = [s, folder, path, name, md5](const tq::HttpResponse& response,
                                                        const TQError& error) {
      if (error) {
        s->sendError(error);
        return;
      }
      if (response.status != 200) {
        s->sendError(ruleError(response.status, "rule file " + name + " download failed: HTTP " +
                                                    std::to_string(response.status)));
        return;
      }
      const std::string& bytes = response.body;
      const std::string digest = md5OfBytes(bytes);
      if (!sameDigest(digest, md5)) {
        s->sendError(ruleError(
            4, "downloaded rule file " + name + " has md5 " + digest + ", expected " + md5));
        return;
      }
      TQError why;
      auto file = GVQ5RuleFile::decode(bytes, &why);
      if (!file) {
        s->sendError(why);
        return;
      }
      // Written beside the cache file and renamed over it, so the cache never holds half a file.
      std::error_code ec;
      makePrivateFolder(folder);
      std::string temp = (folder / ".download-XXXXXX").string();
      int fd = ::mkstemp(temp.data());
      bool ok = fd >= 0;
      for (size_t done = 0; ok && done < bytes.size();) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
          ok = false;
        else
          done += static_cast<size_t>(n);
      }
      if (fd >= 0 && ::close(fd) != 0) ok = false;
      if (ok && ::rename(temp.c_str(), path.c_str()) != 0) ok = false;
      if (!ok) {
        int err = errno;
        if (fd >= 0) ::unlink(temp.c_str());
        s->sendError(
            ruleError(err, "cannot store rule file " + path.string() + ": " + std::strerror(err)));
        return;
      }
      s->sendNext(*file);
      s->sendCompleted();
    };
    auto task = transport->start(std::move(request), std::move(callbacks));
    return Disposable::create([task] {
      if (task) task->cancel();
    });
  });
}

Signal<GVLaunchOptions> GVQ5VPNController::speedStart(SessionPtr session) {
  if (!session) return GVVPNController::speedStart(session);
  auto call = std::make_shared<PXA_API_START_LIST>();
  auto& req = call->req();
  req.platform = "IOS";  // the service's contract for this client
  req.gid = session->gameId;
  req.mac = session->mac;
  if (session->userInfo) {
    req.uid = session->userInfo->uid;
    req.token = session->userInfo->token;
  }
  req.clientip = session->clientIP;
  req.version = session->appVersion;
  req.entrance = session->entrance;
  std::weak_ptr<GVVPNController> weak = weak_from_this();
  return RAC::rac_send(call).flattenMap([weak, session](const nlohmann::json& payload) {
    TQError error;
    auto answer = tq::fromDictionary<PXA_SPEED_START_NOCACHE_INFO>(payload, &error);
    auto self = std::static_pointer_cast<GVQ5VPNController>(weak.lock());
    if (!answer) return Signal<GVLaunchOptions>::error(error);
    if (!self) return Signal<GVLaunchOptions>::empty();
    const std::string name = answer->fileUrl.value_or(std::string());
    return self->loadRuleFile(name, answer->fileMd5.value_or(std::string()))
        .map([session, answer = *answer, name](const PXA_SPEED_START_CACHE_FILE& file) {
          session->speedInfo = GVQ5RuleFile::merge(answer, file, name);
          GVLaunchOptions options;
          options.q5session = *session;
          return options;
        });
  });
}

Signal<nlohmann::json> GVQ5VPNController::speedStop(SessionPtr session) {
  if (!session) return GVVPNController::speedStop(session);
  auto call = std::make_shared<PXA_API_END>();
  auto& req = call->req();
  req.mac = session->mac;
  if (session->userInfo) req.uid = session->userInfo->uid;
  if (session->speedInfo) req.flowId = session->speedInfo->flow_id;
  req.type = 1;
  return RAC::rac_send(call);
}
