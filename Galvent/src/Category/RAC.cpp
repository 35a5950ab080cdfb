#include "Galvent/Category/RAC.h"

namespace RAC {

using platform::reactive::Disposable;
using platform::reactive::Signal;
using platform::reactive::SubscriberPtr;

Signal<nlohmann::json> rac_send(const TQAPIPtr& call) {
  // The signal holds the call for as long as it lives.
  return Signal<nlohmann::json>::create([call](const SubscriberPtr<nlohmann::json>& subscriber) {
    // The callbacks keep the subscriber alive until the call ends or a later subscription
    // replaces them; a disposed subscriber ignores what still arrives.
    call->setWhenSucceed([subscriber](TQAPI& api) {
      subscriber->sendNext(api.respDictionary());
      subscriber->sendCompleted();
    });
    call->setWhenFailed([subscriber](TQAPI& api) { subscriber->sendError(api.lastError()); });
    call->send();
    std::weak_ptr<TQAPI> weakCall = call;
    return Disposable::create([weakCall] {
      // Cancelling after the end has no effect on the call.
      if (auto c = weakCall.lock()) {
        if (c->status() == TQAPI::TQAPIStatusPending || c->status() == TQAPI::TQAPIStatusRequest)
          c->cancel();
      }
    });
  });
}

}  // namespace RAC
