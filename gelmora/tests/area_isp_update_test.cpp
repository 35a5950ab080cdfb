// The area and ISP library update against the older-service stand-in.
#include <fstream>
#include <sstream>

#include "OlderTestSupport.h"
#include "gelmora/Service/Speed/IpPacketHelper.h"
#include "gelmora/Service/Speed/Timing.h"

using nlohmann::json;
using Mode = standin::OlderService::Mode;

namespace {

constexpr const char* kFile = "/files/area_isp.txt";
constexpr const char* kAddressPath = "/q5client/rule/area-isp-list";
const std::string kLibrary = "16777216\t16777471\t1\t2\n16777472\t16777727\t1\t3\n";

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

class AreaIspUpdateTest : public OlderServiceTest {
 protected:
  void SetUp() override {
    OlderServiceTest::SetUp();
    library = dir.path() / "Resources" / "area_isp.txt";
    std::filesystem::create_directories(library.parent_path());
    TsParams::setAreaispPath(library.string());
    service.putFile(kFile, kLibrary);
    Timing t;
    t.downloadIdle = std::chrono::milliseconds(2000);
    t.downloadDeadline = std::chrono::milliseconds(600);
    Timing::set(t);
  }
  void TearDown() override {
    Timing::set(Timing{});
    OlderServiceTest::TearDown();
  }
  void answerWith(json sha1, std::string file = "") {
    if (file.empty()) file = "http://" + service.address() + kFile;
    service.setAnswer(kAddressPath, {{"code", 0}, {"data", {{"file", file}, {"sha1", sha1}}}});
  }
  std::string content() const {
    std::ifstream in(library, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::filesystem::path library;
};

}  // namespace

TEST_F(AreaIspUpdateTest, CurrentLocalFileIsReloadedWithoutDownload) {
  std::ofstream(library, std::ios::binary) << kLibrary;
  for (const std::string& sha1 : {standin::OlderService::sha1Hex(kLibrary),
                                  upper(standin::OlderService::sha1Hex(kLibrary))}) {
    SCOPED_TRACE(sha1);
    answerWith(sha1);
    EXPECT_TRUE(IpPacketHelper::updateIpPacket());
    EXPECT_EQ(service.fileHits(kFile), 0u);
    EXPECT_EQ(TsParams::getIPListFromAreaisp(1, 3), std::vector<std::string>{"1.0.1.0-1.0.1.255"});
  }
  EXPECT_TRUE(console.anyContains("本地IP库已存在，无需更新"));
}

TEST_F(AreaIspUpdateTest, MissingOrStaleFileIsDownloaded) {
  answerWith(standin::OlderService::sha1Hex(kLibrary));
  EXPECT_TRUE(IpPacketHelper::updateIpPacket());  // no local file
  EXPECT_EQ(service.fileHits(kFile), 1u);
  EXPECT_EQ(content(), kLibrary);
  EXPECT_EQ(TsParams::getAreaispList().size(), 2u);

  // A digest that is no text is no digest: any file is taken.
  std::ofstream(library, std::ios::binary) << "old";
  answerWith(12345);
  EXPECT_TRUE(IpPacketHelper::updateIpPacket());
  EXPECT_EQ(service.fileHits(kFile), 2u);
  EXPECT_EQ(content(), kLibrary);
}

TEST_F(AreaIspUpdateTest, WrongDigestKeepsTheOldFileAndTriesAgainNextTime) {
  std::ofstream(library, std::ios::binary) << "16777216\t16777471\t7\t7\n";
  TsParams::updateAreaispListWithFile(library.string());
  answerWith(std::string(40, '0'));
  EXPECT_FALSE(IpPacketHelper::updateIpPacket());
  EXPECT_EQ(content(), "16777216\t16777471\t7\t7\n");
  EXPECT_EQ(TsParams::getIPListFromAreaisp(7, 7).size(), 1u);  // the loaded table stays
  EXPECT_FALSE(IpPacketHelper::updateIpPacket());
  EXPECT_EQ(service.fileHits(kFile), 2u);
  auto errors = errorLines();
  ASSERT_FALSE(errors.empty());
  EXPECT_NE(errors[0].find("IP库文件下载失败，哈希值不正确 sha1="), std::string::npos);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(library.parent_path()),
                          std::filesystem::directory_iterator()),
            1);
}

TEST_F(AreaIspUpdateTest, FailedRequestsAndDownloadsAnswerNo) {
  std::ofstream(library, std::ios::binary) << "old";
  service.setAnswer(kAddressPath, {{"code", -1}, {"info", "down"}});
  EXPECT_FALSE(IpPacketHelper::updateIpPacket());

  service.putFile("/files/empty", "");
  answerWith("", "http://" + service.address() + "/files/empty");
  EXPECT_FALSE(IpPacketHelper::updateIpPacket());
  EXPECT_TRUE(console.anyContains("IP文件下载失败，返回值长度等于0"));

  standin::OlderService::Script trickle;
  trickle.mode = Mode::Trickle;
  trickle.delay = std::chrono::milliseconds(30);
  service.setFileScript(kFile, trickle);
  answerWith("");
  EXPECT_FALSE(IpPacketHelper::updateIpPacket());  // past the 600 ms deadline
  EXPECT_TRUE(console.anyContains("IP库文件下载异常信息"));

  answerWith("", "ftp://" + service.address() + kFile);
  EXPECT_FALSE(IpPacketHelper::updateIpPacket());
  EXPECT_EQ(content(), "old");
}

TEST_F(AreaIspUpdateTest, DownloadPastTheCapKeepsTheOldFile) {
  std::ofstream(library, std::ios::binary) << "old";
  Timing t = Timing::current();
  t.downloadCap = kLibrary.size() - 1;
  Timing::set(t);
  answerWith(standin::OlderService::sha1Hex(kLibrary));
  EXPECT_FALSE(IpPacketHelper::updateIpPacket());
  EXPECT_EQ(content(), "old");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(library.parent_path()),
                          std::filesystem::directory_iterator()),
            1);

  t.downloadCap = kLibrary.size();  // exactly the cap is allowed
  Timing::set(t);
  EXPECT_TRUE(IpPacketHelper::updateIpPacket());
  EXPECT_EQ(content(), kLibrary);
}
