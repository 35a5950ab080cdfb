#pragma once
// Stand-in of the game-acceleration service on loopback: scrambled form requests in, scrambled
// {code, msg, result} answers out. A small store (guest registration, sign-in, user information,
// start lists, rule files, path reports) and switches to answer badly.
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace standin {

class GameStandin {
 public:
  // Where the answer's payload goes.
  enum class PayloadKey { Result, Data, Both };

  struct Request {
    std::string path;
    std::string body;       // raw form body
    std::string info;       // the "info=" value, percent-decoded
    std::string query;      // the unscrambled form text
    nlohmann::json params;  // the form text parsed (bracket keys into objects, key[] into lists)
  };

  GameStandin();
  ~GameStandin();
  GameStandin(const GameStandin&) = delete;
  GameStandin& operator=(const GameStandin&) = delete;

  // Binds host:port (port 0 picks a free one) and serves on a thread of its own.
  bool start(const std::string& host = "127.0.0.1", int port = 0);
  void stop();
  int port() const { return port_; }
  // "127.0.0.1:port", the form the client's base-domain settings take.
  std::string address() const;

  // Every path the stand-in serves, in order.
  static std::vector<std::string> paths();
  // The sample payload of a path (null for none).
  static nlohmann::json samplePayload(const std::string& path);

  // Switches.
  void setSampleAnswers(bool on);  // every path answers its sample, the store is bypassed
  void setCode(const std::string& path, long long code, std::string msg);
  void setPayloadKey(PayloadKey key);
  void setAnswer(const std::string& path, nlohmann::json answer);          // whole answer object
  void setPlaintext(const std::string& path, std::string text);            // scrambled as it is
  void setGarbled(const std::string& path, int status, std::string body);  // sent unscrambled
  void clearSwitches();

  // Store.
  struct Entrance {
    std::string ip;
    std::vector<int> ports;
  };
  struct Exit {
    std::string addr;
    std::string nat;
  };
  struct Group {
    long long id = 0;
    std::vector<Entrance> entrance;
    std::vector<Exit> exit;
  };
  void setStartGroups(std::vector<Group> groups);
  // Stores a rule file (JSON text), scrambled once; answers the MD5 of the stored bytes.
  std::string putRuleFile(const std::string& name, const std::string& json);
  // The file that start lists name.
  void setStartRuleFile(const std::string& name);
  void addUser(const std::string& username, const std::string& password, long long uid,
               const std::string& token);

  std::vector<Request> requests() const;
  // Rule-file downloads (GET /gameRule/<name>): how many arrived for a name, and switches to
  // serve other bytes than the stored file (empty bytes: the stored file again), to answer 404,
  // or to wait before answering (a waiting answer leaves at once when the delay is cleared).
  int ruleFileRequests(const std::string& name) const;
  void setRuleFileBytes(const std::string& name, std::string bytes);
  void setRuleFileMissing(const std::string& name, bool missing);
  void setRuleFileDelay(std::chrono::milliseconds delay);
  std::optional<Request> lastRequest(const std::string& path) const;
  // Path reports as received, with "info" parsed from its JSON text (kept as text when it is not).
  std::vector<nlohmann::json> pathReports() const;

  // The MD5 of bytes, lower-case hexadecimal.
  static std::string md5Hex(const std::string& bytes);
  // Form text into JSON: bracket keys into objects, key[] into lists; values stay text and a key
  // without "=" gives null. Nothing when a percent escape is malformed.
  static std::optional<nlohmann::json> parseForm(const std::string& form);
  // Percent-decoding that leaves "+" alone; nothing for a malformed escape.
  static std::optional<std::string> percentDecode(const std::string& text);

 private:
  struct User {
    std::string username;
    std::string password;
    long long uid = 0;
    std::string token;
  };
  struct Reply {
    int status = 200;
    std::string body;
  };

  Reply handlePost(const std::string& path, const std::string& body);
  Reply handleRuleFile(const std::string& name);
  // Payload of the store for a path; sets code and msg on refusal.
  nlohmann::json storePayload(const std::string& path, const nlohmann::json& params,
                              long long& code, std::string& msg);
  nlohmann::json userInfo(const User& u) const;

  mutable std::mutex mu_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;

  bool sample_ = false;
  PayloadKey payloadKey_ = PayloadKey::Result;
  std::map<std::string, std::pair<long long, std::string>> codes_;
  std::map<std::string, nlohmann::json> answers_;
  std::map<std::string, std::string> plaintexts_;
  std::map<std::string, std::pair<int, std::string>> garbled_;

  std::vector<User> users_;
  long long nextUid_ = 10001;
  std::vector<Group> groups_;
  std::map<std::string, std::string> ruleFiles_;  // name -> scrambled text
  std::string startRuleFile_;
  long long nextFlowId_ = 5001;

  std::vector<Request> requests_;
  std::vector<nlohmann::json> pathReports_;
  std::map<std::string, int> ruleFileRequests_;
  std::map<std::string, std::string> ruleFileBytes_;
  std::map<std::string, bool> ruleFileMissing_;
  std::chrono::milliseconds ruleFileDelay_{0};
  std::condition_variable ruleFileWake_;
  bool stopping_ = false;
};

}  // namespace standin
