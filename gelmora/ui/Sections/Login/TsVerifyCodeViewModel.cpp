#include "ui/Sections/Login/TsVerifyCodeViewModel.h"

#include "Galvent/Category/RAC.h"
#include "JolvexAPI/JolvexAPI.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Shared/Tessaryn.h"

namespace gelmora::ui {

using nlohmann::json;
using platform::reactive::Signal;

namespace {
constexpr int64_t kCountDownSeconds = 60;
}

TsVerifyCodeViewModel& TsVerifyCodeViewModel::sharedInstance() {
  static TsVerifyCodeViewModel* shared = new TsVerifyCodeViewModel;  // kept for the whole run
  return *shared;
}

TsVerifyCodeViewModel::TsVerifyCodeViewModel() : TsVerifyCodeViewModel(Collaborators{}) {}

TsVerifyCodeViewModel::TsVerifyCodeViewModel(Collaborators c)
    : ticker_(c.ticker ? std::move(c.ticker) : qtTickers()()) {
  QObject::connect(ticker_.get(), &Ticker::tick, [this] { onTick(); });
}

TsVerifyCodeViewModel::~TsVerifyCodeViewModel() {
  ticker_->disconnect();
  ticker_->stop();
}

void TsVerifyCodeViewModel::startTimer() {
  lastSecond.setValue(kCountDownSeconds);
  ticker_->stop();
  ticker_->start(1.0);
}

void TsVerifyCodeViewModel::stopTimer() {
  lastSecond.setValue(0);
  ticker_->stop();
}

void TsVerifyCodeViewModel::onTick() {
  if (lastSecond.value() < 1) {
    ticker_->stop();
    return;
  }
  lastSecond.setValue(lastSecond.value() - 1);
}

Signal<json> TsVerifyCodeViewModel::fetchCode() {
  if (lastSecond.value() >= 1 || !Tessaryn::isValidatePhone(phone.value()))
    return Signal<json>::empty();
  auto call = std::make_shared<JVX_API_PHONE_VERIFY_CODE>();
  call->req().phone = phone.value();
  call->req().type = type.value();
  call->req().country_code = countryCode.value();
  std::weak_ptr<bool> alive = alive_;
  return RAC::rac_send(call).doNext([this, alive](const json&) {
    if (!alive.expired()) startTimer();
  });
}

std::shared_ptr<platform::reactive::Command<platform::reactive::Unit, json>>
TsVerifyCodeViewModel::fetchCommand() {
  auto enabling = platform::reactive::combineLatest(
      [](const int64_t& left, const std::string& p) {
        return left < 1 && Tessaryn::isValidatePhone(p);
      },
      lastSecond.signal(), phone.signal());
  std::weak_ptr<bool> alive = alive_;
  return std::make_shared<platform::reactive::Command<Unit, json>>(
      enabling, [this, alive](const Unit&) -> Signal<json> {
        if (alive.expired()) return Signal<json>::empty();
        return fetchCode();
      });
}

}  // namespace gelmora::ui

// The locator's entry for the code fetcher lives with it, in the Qt part.
gelmora::ui::TsVerifyCodeViewModel& BHAppPackage::verify() const {
  return gelmora::ui::TsVerifyCodeViewModel::sharedInstance();
}
