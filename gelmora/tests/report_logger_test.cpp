// The report logger: console lines, reports to the stand-in, and one bounded worker.
#include <dirent.h>

#include "OlderTestSupport.h"
#include "gelmora/General/Helper/TsSystemInformation.h"
#include "gelmora/Service/Web/TsWebEscape.h"

using nlohmann::json;

namespace {

size_t threadCount() {
  size_t n = 0;
  if (DIR* d = ::opendir("/proc/self/task")) {
    while (dirent* e = ::readdir(d)) {
      if (e->d_name[0] != '.') ++n;
    }
    ::closedir(d);
  }
  return n;
}

class ReportLoggerTest : public OlderServiceTest {};

}  // namespace

TEST_F(ReportLoggerTest, WithoutAStoredSignInNothingIsSent) {
  LOG log;
  log.UpdateUserinfo();
  EXPECT_FALSE(log.uuid());
  log.ERROR("boom");
  log.INFO("note", true);
  EXPECT_TRUE(log.waitForReports(std::chrono::seconds(5)));
  EXPECT_EQ(console.lines(), (std::vector<std::string>{"ERROR: boom", "DEBUG: note"}));
  EXPECT_TRUE(service.requests().empty());

  // A stored sign-in without a user id changes nothing either.
  TsParamsDirectory::setNSDictionaryValue("login_data", {{"data", {{"name", "x"}}}});
  log.UpdateUserinfo();
  EXPECT_FALSE(log.uuid());
}

TEST_F(ReportLoggerTest, ReportsCarryTheUserAndTheTextUnchanged) {
  TsParamsDirectory::setNSDictionaryValue("login_data", {{"code", 0}, {"data", {{"uid", 77}}}});
  LOG log;
  log.UpdateUserinfo();
  EXPECT_EQ(log.uuid(), "77");
  EXPECT_EQ(log.version(), TsSystemInformation::clientVersion());
  EXPECT_TRUE(console.anyContains("uid 77"));

  log.INFO("quiet", false);
  log.ERROR("a&b=c d");
  log.INFO("x=1&y=2", true);
  ASSERT_TRUE(log.waitForReports(std::chrono::seconds(10)));
  auto requests = service.requests();
  ASSERT_EQ(requests.size(), 2u);
  const std::string head = "uid=77&client_version=" + TsWebEscape::urlEscape(log.version());
  EXPECT_EQ(requests[0].path, "/q5client/client-error-log/report");
  ASSERT_TRUE(requests[0].payload);
  // head, "&occur_datetime=", a date such as "2026-12-10 14:02:20 +0000", then the rest.
  const std::string& sent = *requests[0].payload;
  const std::string dateKey = head + "&occur_datetime=";
  const std::string tail = "&error_id=0&details=a&b=c d";
  ASSERT_EQ(sent.size(), dateKey.size() + 25 + tail.size()) << sent;
  EXPECT_EQ(sent.substr(0, dateKey.size()), dateKey);
  EXPECT_EQ(sent.substr(sent.size() - tail.size()), tail);
  const std::string date = sent.substr(dateKey.size(), 25);
  for (size_t i = 0; i < date.size(); ++i) {
    const char want = "dddd-dd-dd dd:dd:dd +0000"[i];
    if (want == 'd') {
      EXPECT_TRUE(date[i] >= '0' && date[i] <= '9') << date;
    } else {
      EXPECT_EQ(date[i], want) << date;
    }
  }
  EXPECT_EQ(requests[1].path, "/q5client/client-log/report");
  EXPECT_EQ(requests[1].payload, head + "&details=x=1&y=2");
}

TEST(ReportDateTest, IsUtcInTheServiceForm) {
  using namespace std::chrono;
  EXPECT_EQ(LOG::reportDate(system_clock::time_point(seconds(1765000000))),
            "2025-12-06 05:46:40 +0000");
}

TEST_F(ReportLoggerTest, ASilentServiceHoldsOneWorkerAndDropsTheOverflow) {
  standin::OlderService::Script silent;
  silent.mode = standin::OlderService::Mode::Silence;
  service.setScript("/q5client/client-error-log/report", silent);
  TsHttpHelper::setTimeoutInterval(std::chrono::seconds(2));
  // One round trip first, so the server's own threads are all there before counting.
  TsHttpHelper::POST_LOG("/q5client/client-log/report", "uid=1&details=warm-up");
  const std::string path = "/q5client/client-error-log/report";
  const size_t before = threadCount();
  {
    LOG log;
    log.setUuid("9");
    for (int i = 0; i < 10000; ++i) log.ERROR("line " + std::to_string(i));
    // One worker at most, whatever the number of lines; the rest waits or is dropped.
    EXPECT_LE(threadCount(), before + 1);
    EXPECT_GE(log.droppedReports(), 10000u - LOG::kReportQueueCapacity - 1);
    EXPECT_TRUE(service.waitForRequests(2));
    EXPECT_EQ(service.requests(path).size(), 1u);
  }
  // The logger is gone; the worker ends with its request and sends nothing more.
  service.releaseSilent();
  EXPECT_EQ(service.requests(path).size(), 1u);
}

TEST_F(ReportLoggerTest, TheReportPathNeverLogs) {
  // Failing reports write no console line and cause no further report.
  service.setAnswer("/q5client/client-error-log/report", {{"code", -1}, {"info", "refused"}});
  LOG log;
  log.setUuid("5");
  log.ERROR("first");
  ASSERT_TRUE(log.waitForReports(std::chrono::seconds(10)));
  EXPECT_EQ(console.lines(), std::vector<std::string>{"ERROR: first"});
  EXPECT_EQ(service.requests().size(), 1u);
}
