#pragma once
// Whether an address belongs to the brand's own web hosts: pages there may talk to the
// application through a page bridge, no other page may.
#include <string>
#include <string_view>
#include <vector>

class BrandHosts {
 public:
  // An http/https address whose host is one of the environment's WebDomain, H5Domain,
  // Q4ServiceDomain or Q5ServiceDomain (host names, case-insensitive). A domain given with a port
  // matches only that port (the scheme's default when the address names none).
  static bool allows(std::string_view url);
  // The same check against the given domains ("host" or "host:port").
  static bool allows(std::string_view url, const std::vector<std::string>& domains);
};
