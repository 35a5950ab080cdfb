#pragma once
// The desktop user's file-system identity for the files the daemon touches in the user's
// container. The daemon runs as root; with the user's fsuid/fsgid the kernel checks every path
// step as for the user, so a link the user planted cannot lead root's writes elsewhere, and what
// is created belongs to the user.

#include <sys/types.h>

#include <functional>

class OwnerFileAccess {
 public:
  OwnerFileAccess(uid_t uid, gid_t gid) : uid_(uid), gid_(gid) {}
  // The user's primary group from the passwd database; the uid itself when the user has none.
  static gid_t primaryGroupOf(uid_t uid);

  // Runs `work` on the calling thread as the user (the file-system ids are per thread) and
  // switches back. When the identity cannot be taken the work is not done: doing it as root is
  // what this class exists to prevent.
  bool run(const std::function<void()>& work) const;

 private:
  uid_t uid_;
  gid_t gid_;
};
