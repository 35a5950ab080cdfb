#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/version.h"

namespace {

// Taken during static initialisation, before main runs.
BHAppPackage* const earlyLocator = &app();

TEST(AppPackage, OneLocatorForEveryCaller) {
  std::vector<BHAppPackage*> seen(4, nullptr);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&seen, i] { seen[i] = &BHAppPackage::sharedInstance(); });
  }
  for (auto& t : threads) t.join();
  for (auto* p : seen) EXPECT_EQ(p, &app());
  EXPECT_EQ(earlyLocator, &app());
}

TEST(AppPackage, VersionsAreTheBuildConstants) {
  EXPECT_EQ(app().version(), gelmora::kShortVersion);
  EXPECT_EQ(app().buildVersion(), gelmora::kBuildVersion);
  EXPECT_FALSE(app().version().empty());
  EXPECT_FALSE(app().buildVersion().empty());
}

TEST(AppPackage, EnvironmentAndLanguageAreNoneUntilSet) {
  EXPECT_EQ(app().env(), nullptr);
  EXPECT_EQ(app().language(), std::nullopt);

  auto env = AppEnvironment::make<AppOxlaEnvironment>();
  AppEnvironment::setCurrentEnvironment(env);
  EXPECT_EQ(app().env(), env);
  app().setLanguage("zh-Hans");
  EXPECT_EQ(app().language(), "zh-Hans");

  AppEnvironment::setCurrentEnvironment(nullptr);
  app().setLanguage(std::nullopt);
}

TEST(AppPackage, DefaultsEntryIsTheSharedAccessor) {
  EXPECT_EQ(&app().defaults(), &AppUserDefaults::sharedInstance());
}

}  // namespace
