#include "OwnerFileAccess.h"

#include <pwd.h>
#include <sys/fsuid.h>
#include <unistd.h>

#include <vector>

gid_t OwnerFileAccess::primaryGroupOf(uid_t uid) {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
    return found->pw_gid;
  return static_cast<gid_t>(uid);
}

bool OwnerFileAccess::run(const std::function<void()>& work) const {
  // setfsuid answers the previous id; asking again tells whether the switch took.
  const uid_t previousUid = static_cast<uid_t>(::setfsuid(uid_));
  const gid_t previousGid = static_cast<gid_t>(::setfsgid(gid_));
  const bool taken =
      static_cast<uid_t>(::setfsuid(uid_)) == uid_ && static_cast<gid_t>(::setfsgid(gid_)) == gid_;
  if (taken) work();
  ::setfsgid(previousGid);
  ::setfsuid(previousUid);
  return taken;
}
