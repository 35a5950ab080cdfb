#pragma once
// Stand-in of the account, line and shop service and of the feedback service: POST form bodies
// {"info": AES cipher of the request JSON, "mobile": "mobile"} in, enciphered
// {"code", "info"|"msg", "data"} out. Listens on 127.0.0.1; test infrastructure only.
#include <cstdint>
#include <functional>
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

namespace standin::account {

// One request as the stand-in decoded it.
struct SeenRequest {
  std::string path;                            // as received (with "/fastclient" when sent so)
  std::string body;                            // raw form body
  std::map<std::string, std::string> form;     // form-decoded fields
  std::optional<nlohmann::json> info;          // deciphered and parsed "info"
  std::string infoText;                        // deciphered "info" text
  std::map<std::string, std::string> headers;  // names as received
};

struct Account {
  int64_t uid = 0;
  std::string username, email, phone, countryCode, password;
  std::string loginToken;
  double restTraffic = 1024;
  bool online = false;
  int realNameVerification = 1;  // "real_name_verification" of the account's user info
};

// The last package a receipt credited to an account; its user info reports it.
struct Credit {
  std::string packageName;  // "package_name"
  std::string expireDate;   // "expire_date", "YYYY-MM-DD"
};

// An in-app order as create-order recorded it.
struct ShopOrder {
  int64_t uid = 0;
  std::string product;
  std::string orderId;
  std::string creditedTransaction;  // the store transaction that paid it; empty while unpaid
};

// How the whole answer body is spoiled, for the client's error paths.
enum class BodyMode {
  Normal,
  NotJSONPlaintext,  // enciphered "not json"
  JSONScalar,        // enciphered "42"
  EncipheredBlank,   // enciphered " "
  Empty200,          // 200 with an empty body
  Html502,           // 502 with an HTML page
};

class AccountServer {
 public:
  AccountServer();
  ~AccountServer();
  AccountServer(const AccountServer&) = delete;
  AccountServer& operator=(const AccountServer&) = delete;

  // Binds 127.0.0.1:port (0 = any free port) and serves on a thread of its own.
  bool start(uint16_t port = 0);
  void stop();
  uint16_t port() const { return port_; }
  // "127.0.0.1:port", the form the client's base-domain keys take.
  std::string host() const;

  // --- store ---
  Account& addAccount(Account a);
  std::optional<Account> accountByUid(int64_t uid) const;
  // Links the outside account `provider` under `name` to the account; false without such uid.
  bool linkProvider(int64_t uid, const std::string& provider, const std::string& name);
  // The last code the stand-in "sent" to a phone number or e-mail address.
  std::optional<std::string> sentCode(const std::string& phoneOrMail) const;

  // --- what was seen ---
  std::vector<SeenRequest> requests() const;
  std::optional<SeenRequest> lastRequest() const;
  void clearRequests();
  // Called on the server's thread with every request as it is recorded (set before start()).
  void setRequestObserver(std::function<void(const SeenRequest&)> observer);

  // --- switches ---
  // Every path answers its sample payload, the store ignored.
  void setSampleAnswers(bool on);
  // A fixed code (and "info" text) for one path (given without the "/fastclient" rewrite).
  void setCodeForPath(const std::string& path, int code, const std::string& info = "error");
  void clearCodes();
  // Adds "pop" keys and buttons to every dictionary payload.
  void setPop(bool on);
  // E-mail sign-up without a code: accepted unless this is on (a code given must match).
  void setRequireMailCode(bool on);
  // Puts the payload under "result" instead of "data".
  void setPayloadUnderResult(bool on);
  void setBodyMode(BodyMode mode);
  // Answers every request with this plaintext, enciphered (nothing: back to normal answers).
  void setPlaintextBody(std::optional<std::string> plaintext);
  // Payload of rule/list and the domain list of parameters/startup, for later subsystems.
  void setRuleList(nlohmann::json speedStartInfo);
  void setStartupDomains(nlohmann::json domainList);
  // Scripted answers of one path (given without the "/fastclient" rewrite), used in order, one per
  // request; the last one stays for every later request. A payload object answers code 0 with
  // it as "data" (null: no payload).
  void scriptPayloads(const std::string& path, std::vector<nlohmann::json> payloads);
  // The same with whole answers {"code", "info"|"msg", "data"}.
  void scriptAnswers(const std::string& path, std::vector<nlohmann::json> answers);
  void clearScripts();

  // --- shop ---
  // What get-product-identifier-list answers (default: the store stand-in's three packages).
  void setProductIdentifiers(std::vector<std::string> ids);
  // The store's raw Ed25519 public key that finish-payment checks receipts with (none: every
  // receipt is refused).
  void setStorePublicKey(std::string rawKey);
  std::vector<ShopOrder> orders() const;
  std::optional<Credit> creditOf(int64_t uid) const;
  // Gives an account a package, as a paid receipt would (its user info then reads not expired).
  void setCredit(int64_t uid, Credit credit);

  // The service's answer to one decoded request (what the HTTP handler enciphers).
  nlohmann::json answer(const std::string& path, const nlohmann::json& request);

 private:
  nlohmann::json storeAnswer(const std::string& path, const nlohmann::json& req, bool* handled);
  nlohmann::json userInfo(const Account& a) const;
  Account* findLogin(const std::string& name);
  Account* byUid(const nlohmann::json& req);

  mutable std::mutex mu_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  uint16_t port_ = 0;
  std::vector<Account> accounts_;
  int64_t nextUid_ = 1000;
  std::map<std::string, std::string> sentCodes_;
  std::vector<SeenRequest> requests_;
  std::function<void(const SeenRequest&)> observer_;
  nlohmann::json samples_;
  bool sampleAnswers_ = false;
  std::map<std::string, std::pair<int, std::string>> codes_;
  bool pop_ = false;
  bool requireMailCode_ = false;
  bool underResult_ = false;
  BodyMode bodyMode_ = BodyMode::Normal;
  std::optional<std::string> plaintextBody_;
  nlohmann::json ruleList_;
  nlohmann::json startupDomains_;
  std::map<std::string, std::vector<nlohmann::json>> scripts_;  // whole answers per path
  std::vector<std::string> productIdentifiers_;
  std::string storeKey_;
  std::vector<ShopOrder> orders_;
  std::vector<std::string> creditedTransactions_;
  std::map<int64_t, Credit> credits_;
  // Outside accounts linked per uid: provider key ("wechat", "google", ...) -> name shown.
  std::map<int64_t, std::map<std::string, std::string>> linked_;
};

// "a%2Bb=c&d" → {"a+b": "c", "d": ""}; "+" is a blank as in form bodies.
std::map<std::string, std::string> decodeForm(const std::string& body);

}  // namespace standin::account
