#include <set>
#include <string>

#include "JolvexTestSupport.h"
#include "Tovra/Codec/CallRegistry.h"

namespace {

using Registry = tq::CallRegistry<TQRestAPI>;
using JolvexRegistry = JolvexFixture;

std::string fastPath(const std::string& path) {
  return path.rfind("/q5client", 0) == 0 ? "/fastclient" + path.substr(9) : path;
}

TEST_F(JolvexRegistry, HoldsEveryCallOnceWithItsBase) {
  JVXServiceEngine::sharedEngine();  // registers the generated calls
  auto all = Registry::sharedInstance().entries();
  ASSERT_EQ(all.size(), 50u);
  std::set<std::string> names, paths;
  for (const auto& e : all) {
    names.insert(e.className);
    paths.insert(e.path);
    auto call = e.factory();
    ASSERT_TRUE(call) << e.className;
    EXPECT_EQ(call->className(), e.className);
  }
  EXPECT_EQ(names.size(), 50u);
  EXPECT_EQ(paths.size(), 50u);
  auto fd = Registry::sharedInstance().entriesWithBase("JVXFDServiceAPI");
  ASSERT_EQ(fd.size(), 1u);
  EXPECT_EQ(fd[0].className, "JVX_API_FEEDBACK_LIST");
  EXPECT_EQ(Registry::sharedInstance().entriesWithBase("JVXServiceAPI").size(), 49u);
}

TEST_F(JolvexRegistry, EveryEmptyCallReachesItsPathOnItsInstance) {
  JVXServiceEngine::sharedEngine();
  for (bool fast : {false, true}) {
    JVXServiceEngine::sharedEngine().setFastAPIMode(fast);
    for (const auto& e : Registry::sharedInstance().entries()) {
      account.clearRequests();
      feedback.clearRequests();
      auto call = e.factory();
      ASSERT_TRUE(run(call)) << e.className;
      bool toFeedback = e.base == "JVXFDServiceAPI";
      auto& server = toFeedback ? feedback : account;
      auto& other = toFeedback ? account : feedback;
      auto seen = server.lastRequest();
      ASSERT_TRUE(seen) << e.className;
      EXPECT_EQ(seen->path, fast && !toFeedback ? fastPath(e.path) : e.path) << e.className;
      EXPECT_EQ(seen->infoText, "{}") << e.className;
      EXPECT_EQ(seen->form.at("mobile"), "mobile");
      EXPECT_TRUE(other.requests().empty()) << e.className;
      // Whatever the store answers, no registered path is unknown to the service.
      EXPECT_NE(call->lastError().code, 404) << e.className;
    }
  }
}

TEST_F(JolvexRegistry, SampleAnswersSucceedWithRespExactlyWhenThereIsAnAnswerClass) {
  account.setSampleAnswers(true);
  feedback.setSampleAnswers(true);
  JVXServiceEngine::sharedEngine();
  for (const auto& e : Registry::sharedInstance().entries()) {
    auto call = e.factory();
    ASSERT_TRUE(run(call)) << e.className;
    EXPECT_EQ(call->status(), TQAPI::TQAPIStatusSuccess)
        << e.className << ": " << call->lastError().description;
    EXPECT_EQ(call->hasResp(), call->hasRespClass()) << e.className;
  }
}

}  // namespace
