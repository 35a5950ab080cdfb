// Which addresses belong to the brand's hosts.
#include <gtest/gtest.h>

#include "gelmora/Shared/BrandHosts.h"

TEST(BrandHostsTest, Table) {
  const std::vector<std::string> domains = {"www.brand.test", "127.0.0.1:8123", "H5.Brand.Test"};
  const struct {
    const char* url;
    bool allowed;
  } rows[] = {
      {"http://www.brand.test/auth/x?y=1", true},
      {"https://WWW.BRAND.TEST", true},
      {"http://www.brand.test:9999/", true},  // no port given for this domain
      {"http://h5.brand.test#top", true},
      {"http://127.0.0.1:8123/page", true},
      {"http://127.0.0.1:8124/page", false},  // other port
      {"http://127.0.0.1/page", false},       // default port 80, not 8123
      {"http://localhost:8123/page", false},  // same machine, other name
      {"http://www.brand.test@evil.test/", false},
      {"http://evil.test@www.brand.test/", true},
      {"http://www.brand.test.evil.test/", false},
      {"ftp://www.brand.test/", false},
      {"file:///etc/passwd", false},
      {"javascript:alert(1)", false},
      {"", false},
      {"http://", false},
      {"http://:80/", false},
      {"http://www.brand.test:/", false},
      {"http://www.brand.test:99999/", false},
      {"http://www.brand.test:8x/", false},
      {"http://[::1]:8123/", false},
  };
  for (const auto& r : rows) EXPECT_EQ(BrandHosts::allows(r.url, domains), r.allowed) << r.url;
  EXPECT_FALSE(BrandHosts::allows("http://www.brand.test/", {}));
  EXPECT_FALSE(BrandHosts::allows("http://www.brand.test/", {""}));
}
