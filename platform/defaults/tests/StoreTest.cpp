#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/defaults/Store.h"

namespace fs = std::filesystem;
using platform::defaults::Bytes;
using platform::defaults::Store;
using platform::defaults::Value;

namespace {

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/defaults-test-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    file_ = root_ / "domain" / "defaults.json";
    Store::setLogSink([this](const std::string& line) { logs_.push_back(line); });
  }
  void TearDown() override {
    Store::setLogSink(nullptr);
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  static std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static void writeFile(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
  }
  static unsigned mode(const fs::path& p) {
    struct stat st {};
    EXPECT_EQ(::stat(p.c_str(), &st), 0);
    return st.st_mode & 07777;
  }

  fs::path root_;
  fs::path file_;
  std::vector<std::string> logs_;
};

TEST_F(StoreTest, ValuesRoundTripThroughASecondStore) {
  const Bytes blob{0x00, 0xff, 0x41, 0x0a};
  {
    Store store(file_);
    EXPECT_TRUE(store.set("flag", true));
    EXPECT_TRUE(store.set("count", std::int64_t{-42}));
    EXPECT_TRUE(store.set("ratio", 0.25));
    EXPECT_TRUE(store.set("name", std::string("名前 \"quoted\"")));
    EXPECT_TRUE(store.set("blob", blob));
    EXPECT_TRUE(store.set("gone", std::string("x")));
    EXPECT_TRUE(store.remove("gone"));
  }
  Store again(file_);
  EXPECT_EQ(again.get("flag"), Value(true));
  EXPECT_EQ(again.get("count"), Value(std::int64_t{-42}));
  EXPECT_EQ(again.get("ratio"), Value(0.25));
  EXPECT_EQ(again.textValue("name"), "名前 \"quoted\"");
  EXPECT_EQ(again.bytesValue("blob"), blob);
  // Bytes are tagged and are never taken for text.
  EXPECT_EQ(again.textValue("blob"), std::nullopt);
  EXPECT_FALSE(again.contains("gone"));
  EXPECT_EQ(again.snapshot().size(), 5u);
}

TEST_F(StoreTest, TypedReadsFollowTheConversionRules) {
  Store store(file_);
  struct Case {
    const char* key;
    Value value;
    std::optional<bool> asBool;
    std::optional<std::string> asText;
  };
  const Case cases[] = {
      {"t", true, true, std::nullopt},
      {"f", false, false, std::nullopt},
      {"one", std::int64_t{1}, true, "1"},
      {"zero", std::int64_t{0}, false, "0"},
      {"neg", std::int64_t{-7}, true, "-7"},
      {"whole", 3.0, true, "3"},
      {"frac", 0.5, true, "0.5"},
      {"yes", std::string("YES"), true, "YES"},
      {"true", std::string("true"), true, "true"},
      {"no", std::string("NO"), false, "NO"},
      {"word", std::string("maybe"), false, "maybe"},
      {"bytes", Bytes{'Y', 'E', 'S'}, false, std::nullopt},
  };
  for (const auto& c : cases) ASSERT_TRUE(store.set(c.key, c.value)) << c.key;
  for (const auto& c : cases) {
    EXPECT_EQ(store.boolValue(c.key), c.asBool) << c.key;
    EXPECT_EQ(store.textValue(c.key), c.asText) << c.key;
  }
  EXPECT_EQ(store.boolValue("absent"), std::nullopt);
  EXPECT_EQ(store.textValue("absent"), std::nullopt);
}

TEST_F(StoreTest, FileIsPrivateAndLooserModesAreTightened) {
  {
    Store store(file_);
    ASSERT_TRUE(store.set("sessionData", std::string("{\"token\":\"secret\"}")));
  }
  EXPECT_EQ(mode(file_), 0600u);
  EXPECT_EQ(mode(file_.parent_path()), 0700u);

  ASSERT_EQ(::chmod(file_.c_str(), 0644), 0);
  Store reopened(file_);
  EXPECT_EQ(mode(file_), 0600u);
  EXPECT_EQ(reopened.textValue("sessionData"), "{\"token\":\"secret\"}");
}

// A folder that was there before keeps its mode: the configuration home (or /tmp) is not the
// store's to tighten.
TEST_F(StoreTest, AnExistingFolderKeepsItsMode) {
  const fs::path folder = root_ / "shared";
  fs::create_directories(folder);
  ASSERT_EQ(::chmod(folder.c_str(), 01777), 0);
  {
    Store store(folder / "defaults.json");
    ASSERT_TRUE(store.set("key", std::string("value")));
  }
  EXPECT_EQ(mode(folder / "defaults.json"), 0600u);
  EXPECT_EQ(mode(folder), 01777u);
}

TEST_F(StoreTest, UnusableFileIsSetAsideAndTheStoreStartsEmpty) {
  const std::string bad[] = {"[1,2,3]", "not json at all", "{\"a\":", "\"text\"", ""};
  for (const auto& content : bad) {
    writeFile(file_, content);
    fs::remove(fs::path(file_.string() + ".bad"));
    logs_.clear();
    Store store(file_);
    EXPECT_TRUE(store.snapshot().empty()) << content;
    EXPECT_FALSE(fs::exists(file_)) << content;
    EXPECT_EQ(readFile(file_.string() + ".bad"), content);
    ASSERT_EQ(logs_.size(), 1u) << content;
    EXPECT_NE(logs_[0].find(".bad"), std::string::npos);
    // The store keeps working and writes a fresh file.
    EXPECT_TRUE(store.set("k", std::string("v")));
    EXPECT_EQ(Store(file_).textValue("k"), "v");
    fs::remove(file_);
  }
}

TEST_F(StoreTest, MembersOfUnknownKindsAreSkipped) {
  auto map = Store::parse(
      R"({"a":null,"b":[1],"c":{"x":1},"d":{"$bytes":"zz"},"e":{"$bytes":"0a0B"},"f":"ok"})");
  ASSERT_TRUE(map);
  EXPECT_EQ(map->size(), 2u);
  EXPECT_EQ(map->at("e"), Value(Bytes{0x0a, 0x0b}));
  EXPECT_EQ(map->at("f"), Value(std::string("ok")));
}

TEST_F(StoreTest, FailedWriteKeepsTheValueInMemory) {
  // The folder cannot be created because a plain file stands in its way.
  writeFile(root_ / "blocker", "x");
  Store store(root_ / "blocker" / "defaults.json");
  EXPECT_FALSE(store.set("k", std::string("v")));
  EXPECT_EQ(store.textValue("k"), "v");
  EXPECT_FALSE(logs_.empty());
}

TEST_F(StoreTest, RemoveDomainForgetsEverythingAndDeletesTheFile) {
  Store store(file_);
  ASSERT_TRUE(store.set("a", true));
  ASSERT_TRUE(fs::exists(file_));
  EXPECT_TRUE(store.removeDomain());
  EXPECT_FALSE(fs::exists(file_));
  EXPECT_FALSE(store.contains("a"));
  EXPECT_TRUE(Store(file_).snapshot().empty());
}

TEST_F(StoreTest, ConcurrentWritersLoseNoKey) {
  Store store(file_);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&store, t] {
      for (int i = 0; i < 25; ++i)
        store.set("k" + std::to_string(t) + "-" + std::to_string(i), std::int64_t{i});
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(Store(file_).snapshot().size(), 100u);
}

TEST_F(StoreTest, WriterKilledMidWayLeavesAWholeFile) {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(ready[0]);
    Store store(file_);
    const std::string big(256 * 1024, 'x');
    for (std::int64_t i = 0;; ++i) {
      store.set("big", big + std::to_string(i));
      store.set("counter", i);
      if (i == 3) {
        char c = 1;
        if (::write(ready[1], &c, 1) != 1) ::_exit(2);
      }
    }
  }
  ::close(ready[1]);
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ::close(ready[0]);
  ASSERT_EQ(::kill(child, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));

  std::string error;
  auto map = Store::parse(readFile(file_), &error);
  ASSERT_TRUE(map) << error;
  ASSERT_TRUE(map->count("big"));
  EXPECT_GE(std::get<std::string>(map->at("big")).size(), 256u * 1024);
  Store after(file_);
  EXPECT_TRUE(after.contains("counter"));
  EXPECT_FALSE(fs::exists(file_.string() + ".bad"));
}

TEST(StorePath, FollowsXdgConfigHome) {
  const char* old = std::getenv("XDG_CONFIG_HOME");
  std::string saved = old ? old : "";
  ::setenv("XDG_CONFIG_HOME", "/x/cfg", 1);
  EXPECT_EQ(Store::pathForDomain(Store::kApplicationDomain),
            fs::path("/x/cfg/cn.gelmoras.Gelmoras2/defaults.json"));
  ::unsetenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  if (home && *home) {
    EXPECT_EQ(Store::pathForDomain("d"), fs::path(home) / ".config/d/defaults.json");
  }
  if (old) ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
}

}  // namespace
