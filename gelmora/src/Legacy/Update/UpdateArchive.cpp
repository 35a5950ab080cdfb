#include "gelmora/Legacy/Update/UpdateArchive.h"

#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <memory>
#include <set>

namespace gelmora::update {

namespace {

using ReaderPtr = std::unique_ptr<archive, decltype(&archive_read_free)>;

UpdateFailure refuse(const std::string& name, const std::string& why) {
  return UpdateFailure{"archive", "\"" + name + "\": " + why};
}

ReaderPtr openReader(const std::string* path, std::string_view bytes,
                     std::optional<UpdateFailure>& f) {
  ReaderPtr a(archive_read_new(), archive_read_free);
  // The central directory is required: a cut archive is refused, not read as far as it goes.
  archive_read_support_format_zip_seekable(a.get());
  archive_read_support_filter_none(a.get());
  const int r = path ? archive_read_open_filename(a.get(), path->c_str(), 64 * 1024)
                     : archive_read_open_memory(a.get(), bytes.data(), bytes.size());
  if (r != ARCHIVE_OK) {
    const char* s = archive_error_string(a.get());
    f = UpdateFailure{"archive", std::string("unreadable: ") + (s ? s : "unknown format")};
  }
  return a;
}

std::vector<std::string> splitPath(const std::string& p) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= p.size()) {
    const std::size_t slash = p.find('/', start);
    const std::size_t end = slash == std::string::npos ? p.size() : slash;
    parts.push_back(p.substr(start, end - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return parts;
}

// Checks one name and answers it below the top folder ("" for the top folder).
std::optional<UpdateFailure> relativeName(const char* raw, bool isDir, std::string& out) {
  if (!raw || !*raw) return refuse("", "empty name");
  std::string name(raw);
  if (name.find('\0') != std::string::npos) return refuse(name, "NUL in name");
  if (name.front() == '/') return refuse(name, "absolute name");
  if (isDir && name.back() == '/') name.pop_back();
  if (name.empty()) return refuse(raw, "empty name");
  const auto parts = splitPath(name);
  for (const auto& part : parts) {
    if (part == "..") return refuse(raw, "\"..\" in name");
    if (part.empty() || part == ".") return refuse(raw, "empty or \".\" component");
  }
  if (parts.front() != UpdateArchive::kTop)
    return refuse(raw, "outside the top folder \"gelmora/\"");
  if (parts.size() == 1) {
    if (!isDir) return refuse(raw, "the top folder is not a folder");
    out.clear();
    return std::nullopt;
  }
  out = name.substr(UpdateArchive::kTop.size() + 1);
  return std::nullopt;
}

// A relative link target stays inside the tree when resolved from its own folder.
bool linkStaysInside(const std::string& linkPath, const std::string& target) {
  if (target.empty() || target.front() == '/') return false;
  std::vector<std::string> stack = splitPath(linkPath);
  stack.pop_back();  // the link's own name
  for (const auto& part : splitPath(target)) {
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (stack.empty()) return false;
      stack.pop_back();
    } else {
      stack.push_back(part);
    }
  }
  return true;
}

std::optional<UpdateFailure> readHeaders(archive* a, std::vector<ArchiveEntry>& entries,
                                         const ArchiveLimits& limits) {
  entries.clear();
  std::set<std::string> seen;
  std::set<std::string> links;
  std::uint64_t total = 0;
  archive_entry* e = nullptr;
  for (;;) {
    const int r = archive_read_next_header(a, &e);
    if (r == ARCHIVE_EOF) break;
    if (r != ARCHIVE_OK) {
      const char* s = archive_error_string(a);
      return UpdateFailure{"archive", std::string("bad header: ") + (s ? s : "unreadable")};
    }
    if (entries.size() + 1 > limits.maxEntries)
      return UpdateFailure{"archive",
                           "more than " + std::to_string(limits.maxEntries) + " entries"};
    const char* raw = archive_entry_pathname(e);
    const std::string shown = raw ? raw : "";
    if (archive_entry_hardlink(e)) return refuse(shown, "hard link");
    ArchiveEntry out;
    switch (archive_entry_filetype(e)) {
      case AE_IFREG:
        out.type = ArchiveEntry::Type::File;
        break;
      case AE_IFDIR:
        out.type = ArchiveEntry::Type::Directory;
        break;
      case AE_IFLNK:
        out.type = ArchiveEntry::Type::Symlink;
        break;
      default:
        return refuse(shown, "device, FIFO, socket or unknown entry type");
    }
    if (auto f = relativeName(raw, out.type == ArchiveEntry::Type::Directory, out.path)) return f;
    if (!seen.insert(out.path).second) return refuse(shown, "duplicate name");
    out.mode = UpdateArchive::maskMode(archive_entry_perm(e));
    if (out.type == ArchiveEntry::Type::File) {
      const la_int64_t size = archive_entry_size(e);
      out.size = size > 0 ? static_cast<std::uint64_t>(size) : 0;
      if (out.size > limits.maxBytes || total + out.size > limits.maxBytes)
        return UpdateFailure{"archive",
                             "unpacks to more than " + std::to_string(limits.maxBytes) + " bytes"};
      total += out.size;
    }
    if (out.type == ArchiveEntry::Type::Symlink) {
      const char* target = archive_entry_symlink(e);
      out.linkTarget = target ? target : "";
      if (!linkStaysInside(out.path, out.linkTarget))
        return refuse(shown, "symlink absolute or leaving the tree");
      links.insert(out.path);
    }
    entries.push_back(std::move(out));
  }
  // Nothing may sit below a symlink, whatever the order of the entries.
  for (const auto& entry : entries) {
    for (std::size_t slash = entry.path.find('/'); slash != std::string::npos;
         slash = entry.path.find('/', slash + 1)) {
      if (links.count(entry.path.substr(0, slash)))
        return refuse(std::string(UpdateArchive::kTop) + "/" + entry.path, "below a symlink");
    }
  }
  return std::nullopt;
}

std::optional<UpdateFailure> inspectWith(const std::string* path, std::string_view bytes,
                                         std::vector<ArchiveEntry>& entries,
                                         const ArchiveLimits& limits) {
  std::optional<UpdateFailure> f;
  auto a = openReader(path, bytes, f);
  if (f) return f;
  return readHeaders(a.get(), entries, limits);
}

std::optional<UpdateFailure> writeEntries(archive* in, const std::string& staging,
                                          const ArchiveLimits& limits) {
  std::unique_ptr<archive, decltype(&archive_write_free)> out(archive_write_disk_new(),
                                                              archive_write_free);
  // Names were checked already; the disk writer's own guards stay on as a second line. Absolute
  // names cannot be refused here since the staging prefix we add is itself absolute.
  archive_write_disk_set_options(
      out.get(), ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                     ARCHIVE_EXTRACT_SECURE_NODOTDOT | ARCHIVE_EXTRACT_NO_OVERWRITE);
  std::uint64_t total = 0;
  archive_entry* e = nullptr;
  for (;;) {
    int r = archive_read_next_header(in, &e);
    if (r == ARCHIVE_EOF) break;
    if (r != ARCHIVE_OK) return UpdateFailure{"extraction", "archive changed while reading"};
    std::string rel;
    const bool isDir = archive_entry_filetype(e) == AE_IFDIR;
    if (relativeName(archive_entry_pathname(e), isDir, rel))
      return UpdateFailure{"extraction", "archive changed while reading"};
    if (rel.empty()) continue;
    const std::string shown = std::string(UpdateArchive::kTop) + "/" + rel;
    archive_entry_set_pathname(e, (staging + "/" + rel).c_str());
    // Folders stay writable by their owner, so a failed update can always be removed again.
    archive_entry_set_perm(e, UpdateArchive::maskMode(archive_entry_perm(e)) | (isDir ? 0700 : 0));
    archive_entry_set_uid(e, ::geteuid());
    archive_entry_set_gid(e, ::getegid());
    if (archive_write_header(out.get(), e) != ARCHIVE_OK) {
      const char* s = archive_error_string(out.get());
      return UpdateFailure{"extraction", "\"" + shown + "\": " + (s ? s : "write failed")};
    }
    if (archive_entry_filetype(e) == AE_IFREG) {
      const void* buf = nullptr;
      size_t len = 0;
      la_int64_t off = 0;
      while ((r = archive_read_data_block(in, &buf, &len, &off)) == ARCHIVE_OK) {
        total += len;
        if (total > limits.maxBytes)
          return UpdateFailure{
              "extraction", "unpacks to more than " + std::to_string(limits.maxBytes) + " bytes"};
        if (archive_write_data_block(out.get(), buf, len, off) != ARCHIVE_OK) {
          const char* s = archive_error_string(out.get());
          return UpdateFailure{"extraction", "\"" + shown + "\": " + (s ? s : "write failed")};
        }
      }
      if (r != ARCHIVE_EOF) {
        const char* s = archive_error_string(in);
        return UpdateFailure{"extraction", "\"" + shown + "\": " + (s ? s : "bad data")};
      }
    }
    if (archive_write_finish_entry(out.get()) != ARCHIVE_OK) {
      const char* s = archive_error_string(out.get());
      return UpdateFailure{"extraction", "\"" + shown + "\": " + (s ? s : "write failed")};
    }
  }
  if (archive_write_close(out.get()) != ARCHIVE_OK) {
    const char* s = archive_error_string(out.get());
    return UpdateFailure{"extraction", s ? s : "finishing failed"};
  }
  return std::nullopt;
}

std::optional<UpdateFailure> extractWith(const std::string* path, std::string_view bytes,
                                         const std::string& staging, const ArchiveLimits& limits) {
  std::vector<ArchiveEntry> entries;
  if (auto f = inspectWith(path, bytes, entries, limits)) return f;
  std::optional<UpdateFailure> f;
  auto a = openReader(path, bytes, f);
  if (!f) f = writeEntries(a.get(), staging, limits);
  if (f) {
    const int dfd = ::open(staging.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dfd >= 0) {
      removeTreeContents(dfd);
      ::close(dfd);
    }
  }
  return f;
}

}  // namespace

std::optional<UpdateFailure> UpdateArchive::inspect(const std::string& path,
                                                    std::vector<ArchiveEntry>& entries,
                                                    const ArchiveLimits& limits) {
  return inspectWith(&path, {}, entries, limits);
}

std::optional<UpdateFailure> UpdateArchive::inspectBytes(std::string_view bytes,
                                                         std::vector<ArchiveEntry>& entries,
                                                         const ArchiveLimits& limits) {
  return inspectWith(nullptr, bytes, entries, limits);
}

std::optional<UpdateFailure> UpdateArchive::extract(const std::string& path,
                                                    const std::string& staging,
                                                    const ArchiveLimits& limits) {
  return extractWith(&path, {}, staging, limits);
}

std::optional<UpdateFailure> UpdateArchive::extractBytes(std::string_view bytes,
                                                         const std::string& staging,
                                                         const ArchiveLimits& limits) {
  return extractWith(nullptr, bytes, staging, limits);
}

int removeTreeContents(int dirFd) {
  const int dup = ::dup(dirFd);
  if (dup < 0) return errno;
  DIR* dir = ::fdopendir(dup);
  if (!dir) {
    const int err = errno;
    ::close(dup);
    return err;
  }
  int first = 0;
  std::vector<std::string> names;
  while (dirent* d = ::readdir(dir)) {
    const std::string name = d->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  for (const auto& name : names) {
    struct stat st {};
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (!first) first = errno;
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      const int sub =
          ::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub < 0) {
        if (!first) first = errno;
        continue;
      }
      const int err = removeTreeContents(sub);
      ::close(sub);
      if (err && !first) first = err;
      if (::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) != 0 && !first) first = errno;
    } else if (::unlinkat(dirFd, name.c_str(), 0) != 0 && !first) {
      first = errno;
    }
  }
  return first;
}

int removeTree(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? 0 : errno;
  if (!S_ISDIR(st.st_mode)) return ::unlink(path.c_str()) == 0 ? 0 : errno;
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno;
  int err = removeTreeContents(fd);
  ::close(fd);
  if (::rmdir(path.c_str()) != 0 && !err) err = errno;
  return err;
}

}  // namespace gelmora::update
