#include "gelmora/Sections/Me/TsUserBindViewModel.h"

#include "Galvent/Category/RAC.h"
#include "JolvexAPI/JolvexAPI.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/TsUserController.h"
#include "platform/notifications/NotificationCenter.h"

namespace {

using platform::reactive::Signal;
using platform::reactive::SubscriberPtr;

platform::notifications::NotificationCenter& center() {
  return platform::notifications::NotificationCenter::defaultCenter();
}

// Only exactly 1 counts as bound; 2, 0 and a missing number do not.
bool isOne(const std::optional<JVX_LINKED_SNS>& sns, std::optional<tq::Number> JVX_LINKED_SNS::*f) {
  return sns && (*sns).*f && ((*sns).*f)->intValue() == 1;
}

}  // namespace

TsUserBindViewModel& TsUserBindViewModel::sharedInstance() {
  static TsUserBindViewModel* model = new TsUserBindViewModel();
  return *model;
}

TsUserBindViewModel& BHAppPackage::bind() const { return TsUserBindViewModel::sharedInstance(); }

TsUserBindViewModel::TsUserBindViewModel(TsUserController* user) : user_(user) {
  // The previous user's accounts must not show for the next one.
  center().addObserver(this, TsUserWillResignNotification,
                       [this](const platform::notifications::Notification&) { reset(); });
  center().addObserver(this, TsUserStateChangedNotification,
                       [this](const platform::notifications::Notification&) {
                         if (!this->user().session()) reset();
                       });
}

TsUserBindViewModel::~TsUserBindViewModel() {
  center().removeObserver(this);
  requests_.dispose();
}

TsUserController& TsUserBindViewModel::user() const { return user_ ? *user_ : app().user(); }

void TsUserBindViewModel::reset() {
  phoneBound = emailBound = weiboBound = wechatBound = qqBound = false;
  facebookBound = twitterBound = insBound = googleBound = lineBound = kakaoBound = false;
  phone.reset();
  countryCode.reset();
  code.reset();
  email.reset();
  password.reset();
  boundInfo.reset();
  center().post(TsUserSNSInfoChangedNotification);
}

void TsUserBindViewModel::apply(const JVX_RESP_USER_LINKED_SNS& answer) {
  const auto& sns = answer.linked_sns;
  phoneBound = isOne(sns, &JVX_LINKED_SNS::phone);
  emailBound = isOne(sns, &JVX_LINKED_SNS::mail);
  wechatBound = isOne(sns, &JVX_LINKED_SNS::wechat);
  qqBound = isOne(sns, &JVX_LINKED_SNS::qq);
  weiboBound = isOne(sns, &JVX_LINKED_SNS::weibo);
  facebookBound = isOne(sns, &JVX_LINKED_SNS::facebook);
  twitterBound = isOne(sns, &JVX_LINKED_SNS::twitter);
  googleBound = isOne(sns, &JVX_LINKED_SNS::google);
  insBound = isOne(sns, &JVX_LINKED_SNS::instagram);
  lineBound = isOne(sns, &JVX_LINKED_SNS::line);
  kakaoBound = isOne(sns, &JVX_LINKED_SNS::kakao);
  boundInfo = answer.linked_name;
  center().post(TsUserSNSInfoChangedNotification);
}

void TsUserBindViewModel::updateLinkedSNSInfo() {
  const auto uid = user().uid();
  if (!uid) return;  // nobody signed in: there is nothing to ask about
  auto call = std::make_shared<JVX_API_USER_LINKED_SNS>();
  call->req().uid = *uid;
  call->req().mac = user().mac();
  std::weak_ptr<bool> alive = alive_;
  auto disposable = std::make_shared<platform::reactive::Disposable>();
  *disposable =
      RAC::rac_send(call).subscribe({[this, alive, sent = *uid](const nlohmann::json& dict) {
                                       if (alive.expired()) return;
                                       // The answer is about the user it was asked for; after a
                                       // sign-out it is stale.
                                       if (user().uid() != sent) return;
                                       auto answer =
                                           tq::fromDictionary<JVX_RESP_USER_LINKED_SNS>(dict);
                                       apply(answer ? *answer : JVX_RESP_USER_LINKED_SNS{});
                                     },
                                     [this, alive, disposable](const platform::reactive::Error&) {
                                       if (!alive.expired()) requests_.remove(*disposable);
                                     },
                                     [this, alive, disposable] {
                                       if (!alive.expired()) requests_.remove(*disposable);
                                     }});
  if (!disposable->isDisposed()) requests_.add(*disposable);
}

Signal<nlohmann::json> TsUserBindViewModel::sendForSignedInUser(
    const TQAPIPtr& call, const std::function<void(int64_t)>& fill) {
  if (auto uid = user().uid()) {
    fill(*uid);
    return RAC::rac_send(call);
  }
  // Nobody signed in: the call fails as unauthorised and nothing goes out.
  return Signal<nlohmann::json>::create([call](const SubscriberPtr<nlohmann::json>& s) {
    call->setWhenFailed([s](TQAPI& api) { s->sendError(api.lastError()); });
    call->failedForNotAuthed();
    return platform::reactive::Disposable();
  });
}

Signal<nlohmann::json> TsUserBindViewModel::bindPhone() {
  auto call = std::make_shared<JVX_API_USER_BIND_PHONE>();
  return sendForSignedInUser(call, [this, call](int64_t uid) {
    auto& req = call->req();
    req.uid = uid;
    req.mac = user().mac();
    req.phone = phone;
    req.country_code = countryCode;
    req.verify_code = code;
    req.password = password;
  });
}

Signal<nlohmann::json> TsUserBindViewModel::bindEmail() {
  auto call = std::make_shared<JVX_API_USER_BIND_MAIL>();
  return sendForSignedInUser(call, [this, call](int64_t uid) {
    auto& req = call->req();
    req.uid = uid;
    req.mac = user().mac();
    req.mail = email;
    req.password = password;
  });
}

std::optional<Signal<JVX_THIRD_ACCOUNT_INFO>> TsUserBindViewModel::fetchSNSUserInfoWithPlatform(
    const std::string&) {
  return std::nullopt;
}

void TsUserBindViewModel::bindSNSWithPlatform(const std::string& platform) {
  auto accounts = fetchSNSUserInfoWithPlatform(platform);
  if (!accounts) return;
  std::weak_ptr<bool> alive = alive_;
  requests_.add(accounts->subscribeNext([this, alive](const JVX_THIRD_ACCOUNT_INFO& info) {
    if (alive.expired() || !info.identity || info.identity->empty()) return;
    auto call = std::make_shared<JVX_API_USER_LINK_SNS>();
    auto link = sendForSignedInUser(call, [this, call, info](int64_t uid) {
      call->req().uid = uid;
      call->req().mac = user().mac();
      call->req().third_account = info;
    });
    requests_.add(
        link.subscribe({[](const nlohmann::json&) {}, [](const platform::reactive::Error&) {},
                        [this, alive] {
                          if (!alive.expired()) updateLinkedSNSInfo();
                        }}));
  }));
}
