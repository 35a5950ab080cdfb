#pragma once
// tq::Call: the typed call that every generated and hand-written service call derives from.
//
// Two spellings, same class underneath:
//
//   // Self first: path and class name come from Self's constants.
//   struct JVX_API_USER_LOGIN
//       : tq::Call<JVX_API_USER_LOGIN, JVX_REQ_USER_LOGIN, JVX_RESP_USER_LOGIN, JVXServiceAPI> {
//     static constexpr const char* kPath = "/user/login";              // required
//     static constexpr const char* kClassName = "JVX_API_USER_LOGIN";  // optional, for logs
//   };
//
//   // Base first (what the generator writes): the class overrides literalPath() itself.
//   class JVX_API_USER_LOGIN : public tq::Call<JVXServiceAPI, JVX_REQ_USER_LOGIN, JVX_RESP_X> {
//    public:
//     std::string className() const override { return "JVX_API_USER_LOGIN"; }
//     std::string literalPath() const override { return "/user/login"; }
//   };
//
//   auto call = std::make_shared<JVX_API_USER_LOGIN>();
//   call->req().email = "a@b.c";
//   call->setWhenSucceed([](TQAPI& api) {
//     auto& self = static_cast<JVX_API_USER_LOGIN&>(api);
//     if (self.resp()) use(*self.resp());          // dictionary payload
//     if (self.respList()) use(*self.respList());  // list payload
//   });
//   call->send();
//
// Req is a model (an empty request is sent as "{}"); tq::NoModel means no request model, so
// params stay as set. Resp is a model, std::vector of a model (the payload is a list), or
// tq::NoModel for a call without a response class. Base is TQRestAPI or a service's call base
// deriving from it. prepareParams() runs Base's, then sets path to literalPath() and method to
// "POST". With autoSerializingResp off, the payload is kept as it is in rawResp().
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "Tovra/Base/TQAPIModel.h"
#include "Tovra/REST/TQRestAPI.h"

namespace tq {

// Stands for "no request model" or "no response class".
struct NoModel : TQAPIModel {
  bool operator==(const NoModel&) const = default;
  static constexpr auto fields() { return std::tuple<>(); }
};

namespace detail {

template <class T>
struct RespTraits {
  using Element = T;
  static constexpr bool kIsList = false;
};
template <class T>
struct RespTraits<std::vector<T>> {
  using Element = T;
  static constexpr bool kIsList = true;
};

template <class Base, class Req, class Resp>
class CallImpl : public Base {
  static_assert(std::is_base_of_v<TQRestAPI, Base>, "Base must derive from TQRestAPI");
  using Element = typename RespTraits<Resp>::Element;
  static_assert(Model<Req> && Model<Element>, "Req and Resp must be models (or tq::NoModel)");

 public:
  using ReqType = Req;
  using RespType = Resp;
  static constexpr bool kHasReq = !std::is_same_v<Req, NoModel>;
  static constexpr bool kHasResp = !std::is_same_v<Element, NoModel>;
  static constexpr bool kRespIsList = RespTraits<Resp>::kIsList;

  // The request path of this call (or a whole URL beginning with "http").
  virtual std::string literalPath() const = 0;

  Req& req() { return req_; }
  const Req& req() const { return req_; }
  void setReq(Req r) { req_ = std::move(r); }

  // The response mapped from the payload: a dictionary payload gives resp() (a list payload
  // too, when Resp is a list); a list payload on a call whose Resp is one model gives respList().
  const std::optional<Resp>& resp() const { return resp_; }
  const std::optional<std::vector<Element>>& respList() const { return respList_; }

  std::optional<nlohmann::json> reqDictionary() const override {
    if constexpr (kHasReq) {
      return tq::toDictionary(req_);
    } else {
      return Base::reqDictionary();
    }
  }

  bool prepareParams() override {
    if (!Base::prepareParams()) return false;
    this->setPath(literalPath());
    this->setMethod("POST");
    return true;
  }

  bool hasRespClass() const override { return kHasResp; }

  bool mapResp(const nlohmann::json& payload, TQError* error) override {
    if constexpr (kHasResp) {
      if (payload.is_object() && !kRespIsList) {
        if constexpr (!kRespIsList) {
          auto m = tq::fromDictionary<Element>(payload, error);
          if (!m) return false;
          resp_ = std::move(m);
        }
        return true;
      }
      if (payload.is_array()) {
        std::vector<Element> list;
        MapContext ctx;
        if (decodeValue(payload, list, ctx) != MapResult::Set) {
          if (error) *error = ctx.error;
          return false;
        }
        if constexpr (kRespIsList) {
          resp_ = std::move(list);
        } else {
          respList_ = std::move(list);
        }
        return true;
      }
    }
    (void)payload;
    (void)error;
    return true;
  }

  bool hasResp() const override { return resp_ || respList_ || Base::hasResp(); }

  nlohmann::json respDictionary() const override {
    if (resp_) return encodeValue(*resp_);
    if (respList_) return encodeValue(*respList_);
    return Base::respDictionary();
  }

 protected:
  void resetForSend() override {
    Base::resetForSend();
    resp_.reset();
    respList_.reset();
  }

 private:
  Req req_{};
  std::optional<Resp> resp_;
  std::optional<std::vector<Element>> respList_;
};

// Self-first spelling: path and class name from Self's constants.
template <class Self, class Req, class Resp, class Base>
class SelfCall : public CallImpl<Base, Req, Resp> {
 public:
  std::string literalPath() const override { return Self::kPath; }
  std::string className() const override {
    if constexpr (requires { Self::kClassName; }) {
      return Self::kClassName;
    } else {
      return Base::className();
    }
  }
};

template <class A, class B, class C, class D>
struct CallSelect {
  using type = SelfCall<A, B, C, D>;
};
template <class A, class B, class C>
struct CallSelect<A, B, C, void> {
  using type = CallImpl<A, B, C>;
};

}  // namespace detail

// tq::Call<Self, Req, Resp, Base> or tq::Call<Base, Req, Resp>; see the top of this file.
template <class A, class B, class C, class D = void>
using Call = typename detail::CallSelect<A, B, C, D>::type;

}  // namespace tq
