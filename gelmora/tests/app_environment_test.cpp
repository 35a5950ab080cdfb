#include <gtest/gtest.h>
#include <stdlib.h>

#include "TestSupport.h"
#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Core/Localization.h"
#include "gelmora/Core/Log.h"

namespace {

const char* const kHostNames[] = {"WebDomain",
                                  "H5Domain",
                                  "Q4ServiceDomain",
                                  "Q5ServiceDomain",
                                  "StandbyServiceDomain1",
                                  "StandbyServiceDomain2",
                                  "StandbyServiceDomain3",
                                  "FDServiceDomain"};

bool isHost(const std::string& name) {
  for (const char* h : kHostNames) {
    if (name == h) return true;
  }
  return false;
}

class AppEnvironmentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::unsetenv(AppEnvironment::kBrandFileVariable);
    gelmora::setLogSink([this](const std::string& line) { logs_.push_back(line); });
  }
  void TearDown() override {
    ::unsetenv(AppEnvironment::kBrandFileVariable);
    gelmora::setLogSink(nullptr);
    AppEnvironment::setCurrentEnvironment(nullptr);
  }
  void useBrandFile(const std::string& content) {
    auto p = dir_.write("brand.json", content);
    ::setenv(AppEnvironment::kBrandFileVariable, p.c_str(), 1);
  }
  TempDir dir_;
  std::vector<std::string> logs_;
};

TEST_F(AppEnvironmentTest, OxlaHasNoStandbyHostsAndSendsTheDravikBrand) {
  auto oxla = AppEnvironment::make<AppOxlaEnvironment>();
  EXPECT_EQ(oxla->StandbyServiceDomain1(), "");
  EXPECT_EQ(oxla->StandbyServiceDomain2(), "");
  EXPECT_EQ(oxla->StandbyServiceDomain3(), "");
  EXPECT_EQ(oxla->AppBrand(), "dravik");
  EXPECT_EQ(oxla->AppRealBrand(), "dravik");
  EXPECT_EQ(oxla->AppScheme(), "Dravik");
  EXPECT_EQ(oxla->H5Domain(), oxla->WebDomain());
  EXPECT_EQ(oxla->Q5ServiceDomain(), oxla->Q4ServiceDomain());
  EXPECT_EQ(oxla->FeedbackQQGroupNum(), AppDravikEnvironment().FeedbackQQGroupNum());
  EXPECT_EQ(oxla->FeedbackQQGroupKey(), AppDravikEnvironment().FeedbackQQGroupKey());
  EXPECT_EQ(oxla->AppStoreID(), AppEnvironment().AppStoreID());
}

TEST_F(AppEnvironmentTest, BrandsDifferWhereTheirTablesSay) {
  AppEnvironment base;
  AppDravikEnvironment dravik;
  EXPECT_EQ(base.AppBrand(), "ombrix");
  EXPECT_EQ(base.AppScheme(), "tessaryn");
  EXPECT_EQ(dravik.AppBrand(), "dravik");
  EXPECT_NE(dravik.StandbyServiceDomain1(), "");
  EXPECT_EQ(dravik.H5Domain(), dravik.WebDomain());
  EXPECT_EQ(dravik.AlipayPID(), base.AlipayPID());
  EXPECT_EQ(base.FeedbackQQGroupKey().size(), 64u);
  EXPECT_EQ(base.FeedbackQQGroupKey().find_first_not_of("0123456789abcdef"), std::string::npos);
}

TEST_F(AppEnvironmentTest, DebugDiffersFromOxlaOnlyInHosts) {
  AppOxlaEnvironment oxla;
  AppDebugEnvironment debug;
  ASSERT_EQ(oxla.values().size(), debug.values().size());
  for (const auto& [name, value] : oxla.values()) {
    if (isHost(name)) {
      EXPECT_EQ(debug.values().at(name), "127.0.0.1") << name;
    } else {
      EXPECT_EQ(debug.values().at(name), value) << name;
    }
  }
}

TEST_F(AppEnvironmentTest, AppNameIsTheLocalisedBrandKey) {
  EXPECT_EQ(AppOxlaEnvironment().AppName(), "OxlaVPN");
  gelmora::setLocalizationTable({{"OxlaVPN", "Oxla 加速器"}});
  EXPECT_EQ(AppOxlaEnvironment().AppName(), "Oxla 加速器");
  gelmora::setLocalizationTable({});
}

TEST_F(AppEnvironmentTest, BrandFileValuesReplaceTheBuiltInOnes) {
  useBrandFile(R"({"Q5ServiceDomain": "api.brand.test", "IPEchoURL": "", "AppBrand": "x"})");
  auto env = AppEnvironment::make<AppOxlaEnvironment>();
  EXPECT_EQ(env->Q5ServiceDomain(), "api.brand.test");
  EXPECT_EQ(env->setting(AppEnvironment::kIPEchoURL), "");
  EXPECT_EQ(env->AppBrand(), "x");
  EXPECT_EQ(env->WebDomain(), AppOxlaEnvironment().WebDomain());
  // The file's values also win over a subclass's own hosts.
  auto debug = AppEnvironment::make<AppDebugEnvironment>();
  EXPECT_EQ(debug->Q5ServiceDomain(), "api.brand.test");
}

TEST_F(AppEnvironmentTest, BrandFileSetsTheOlderServiceHostAndTunnelResolvers) {
  // Empty in the built-in table: each reader then uses its own default.
  EXPECT_EQ(AppOxlaEnvironment().setting(AppEnvironment::kLegacyServiceHost), "");
  useBrandFile(R"({"LegacyServiceHost": "127.0.0.1:8081", "TunnelDnsServer": "192.0.2.53",
                   "TunnelDnsServerChina": "192.0.2.54"})");
  auto env = AppEnvironment::make<AppOxlaEnvironment>();
  EXPECT_EQ(env->setting(AppEnvironment::kLegacyServiceHost), "127.0.0.1:8081");
  EXPECT_EQ(env->setting(AppEnvironment::kTunnelDnsServer), "192.0.2.53");
  EXPECT_EQ(env->setting(AppEnvironment::kTunnelDnsServerChina), "192.0.2.54");
}

TEST_F(AppEnvironmentTest, BadBrandFilesAreRefusedWhole) {
  const std::string bad[] = {
      "not json",
      "[\"WebDomain\"]",
      R"({"WebDomain": "ok.test", "NoSuchName": "x"})",
      R"({"WebDomain": "ok.test", "AppStoreID": 12})",
      R"({"WebDomain": null})",
  };
  const AppOxlaEnvironment builtIn;
  for (const auto& content : bad) {
    useBrandFile(content);
    logs_.clear();
    auto env = AppEnvironment::make<AppOxlaEnvironment>();
    EXPECT_EQ(env->values(), builtIn.values()) << content;
    ASSERT_EQ(logs_.size(), 1u) << content;
    EXPECT_NE(logs_[0].find("refused"), std::string::npos) << logs_[0];
  }
  ::setenv(AppEnvironment::kBrandFileVariable, (dir_.path() / "missing.json").c_str(), 1);
  logs_.clear();
  EXPECT_EQ(AppEnvironment::make<AppOxlaEnvironment>()->values(), builtIn.values());
  EXPECT_EQ(logs_.size(), 1u);
}

TEST_F(AppEnvironmentTest, CurrentEnvironmentIsWhatWasInstalled) {
  EXPECT_EQ(AppEnvironment::currentEnvironment(), nullptr);
  auto env = AppEnvironment::make<AppOxlaEnvironment>();
  AppEnvironment::setCurrentEnvironment(env);
  EXPECT_EQ(AppEnvironment::currentEnvironment(), env);
}

}  // namespace
