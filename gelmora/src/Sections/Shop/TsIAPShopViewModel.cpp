#include "gelmora/Sections/Shop/TsIAPShopViewModel.h"

#include <fstream>
#include <set>
#include <sstream>

#include "Galvent/Category/RAC.h"
#include "JolvexAPI/JolvexAPI.h"
#include "Tovra/Codec/Base64.h"
#include "gelmora/Core/Log.h"
#include "gelmora/Core/TsUserController.h"

using platform::reactive::Disposable;
using platform::reactive::Error;
using platform::reactive::Signal;
using platform::reactive::SubscriberPtr;
using Unit = platform::reactive::Unit;

std::shared_ptr<TsIAPShopViewModel> TsIAPShopViewModel::create(
    TsUserController& user, std::optional<std::filesystem::path> receipt) {
  return std::shared_ptr<TsIAPShopViewModel>(
      new TsIAPShopViewModel(user, receipt ? *receipt : storekit::receiptPath()));
}

TsIAPShopViewModel::TsIAPShopViewModel(TsUserController& user, std::filesystem::path receipt)
    : user_(user), receipt_(std::move(receipt)) {}

int64_t TsIAPShopViewModel::uid() const { return user_.uid().value_or(0); }

Signal<Unit> TsIAPShopViewModel::fetchProducts() {
  std::weak_ptr<TsIAPShopViewModel> weak = weak_from_this();
  return Signal<Unit>::create([weak](const SubscriberPtr<Unit>& s) {
    auto self = weak.lock();
    if (!self) {
      s->sendCompleted();
      return Disposable();
    }
    self->loading_.setValue(true);
    auto call = std::make_shared<JVX_API_IAP_GET_PRODUCT_IDENTIFIER_LIST>();
    call->req().uid = self->uid();
    std::filesystem::path receipt = self->receipt_;
    self.reset();  // held weakly while the service and the store answer
    return RAC::rac_send(call).subscribe(
        {[weak, s, receipt](const nlohmann::json& answer) {
           std::vector<std::string> ids;
           if (auto list = answer.find("product_identifiers");
               list != answer.end() && list->is_array())
             for (const auto& id : *list)
               if (id.is_string()) ids.push_back(id.get<std::string>());
           auto helper = std::make_shared<storekit::StoreHelper>(
               std::set<std::string>(ids.begin(), ids.end()),
               storekit::StoreShare::shared().backend(), receipt);
           storekit::StoreShare::shared().setIap(helper);
           helper->requestProducts([weak, s, ids](std::vector<storekit::Product> found) {
             // The service's order; an id the store lacks adds nothing, a repeated id repeats.
             if (auto model = weak.lock()) {
               std::vector<storekit::Product> list;
               for (const auto& id : ids)
                 for (const auto& p : found)
                   if (p.productIdentifier == id) {
                     list.push_back(p);
                     break;
                   }
               model->products_ = std::move(list);
               model->loading_.setValue(false);
             }
             s->sendCompleted();
           });
         },
         [weak, s](const Error& e) {
           if (auto model = weak.lock()) model->loading_.setValue(false);
           s->sendError(e);
         },
         nullptr});
  });
}

Signal<Unit> TsIAPShopViewModel::buyProduct(const storekit::Product& product) {
  auto self = shared_from_this();
  return Signal<Unit>::create([self, product](const SubscriberPtr<Unit>& s) {
    auto fail = [self, s](const Error& e) {
      self->loading_.setValue(false);
      s->sendError(e);
    };
    auto call = std::make_shared<JVX_API_IAP_CREATE_ORDER>();
    call->req().uid = self->uid();
    call->req().product_identifier = product.productIdentifier;
    self->loading_.setValue(true);
    return RAC::rac_send(call).subscribe(
        {[self, s, product, fail](const nlohmann::json&) {
           auto iap = storekit::StoreShare::shared().iap();
           if (!iap) {
             iap = std::make_shared<storekit::StoreHelper>(
                 std::set<std::string>{product.productIdentifier},
                 storekit::StoreShare::shared().backend(), self->receipt_);
           }
           auto ended = std::make_shared<bool>(false);
           iap->buyProduct(product, [self, s, iap, fail, ended](const storekit::Transaction& t) {
             if (*ended || s->isStopped()) return;
             if (t.error) {
               *ended = true;
               fail(*t.error);
             } else if (t.transactionState == storekit::TransactionState::Purchased) {
               *ended = true;
               // Finished only once the service accepted the receipt; else it stays pending
               // and the next start-up uploads it again.
               s->resources().add(self->checkReceipt().subscribe(
                   {nullptr, fail, [self, s, iap, id = t.transactionIdentifier] {
                      iap->pending().finish(id);
                      self->loading_.setValue(false);
                      s->sendCompleted();
                    }}));
             } else if (t.transactionState == storekit::TransactionState::Failed) {
               *ended = true;
               Error e;
               e.domain = TsStoreTransactionFailedDomain;
               fail(e);
             }
             // Purchasing, restored, deferred: the purchase stays open.
           });
         },
         fail, nullptr});
  });
}

Signal<nlohmann::json> TsIAPShopViewModel::checkReceipt() {
  std::filesystem::path path = receipt_;
  int64_t uid = this->uid();
  return Signal<nlohmann::json>::defer([path, uid] {
    std::error_code ec;
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    if (std::filesystem::is_regular_file(path, ec) && in) bytes << in.rdbuf();
    if (!std::filesystem::is_regular_file(path, ec) || !in || in.bad()) {
      Error e;
      e.domain = TQAPILocalErrorDomain;
      e.code = TQAPIParamValidateFaildCode;
      e.description = "no store receipt";
      return Signal<nlohmann::json>::error(e);
    }
    auto call = std::make_shared<JVX_API_IAP_FINISH_PAYMENT>();
    call->req().uid = uid;
    call->req().receipt = tq::base64Encode(bytes.str());
    return RAC::rac_send(call);
  });
}
