#include "standin/UpdatePackage.h"

#include <archive.h>
#include <archive_entry.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>

#include "standin/OlderService.h"

namespace standin {

std::string UpdatePackage::testKeyPath() {
  return STANDIN_UPDATE_TESTDATA_DIR "/update_test_key.pem";
}
std::string UpdatePackage::otherKeyPath() { return STANDIN_UPDATE_TESTDATA_DIR "/other_key.pem"; }
std::string UpdatePackage::testPublicKeyPem() {
  std::ifstream in(STANDIN_UPDATE_TESTDATA_DIR "/update_test_key.pub.pem");
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

namespace {

la_ssize_t appendTo(archive*, void* client, const void* buf, size_t len) {
  static_cast<std::string*>(client)->append(static_cast<const char*>(buf), len);
  return static_cast<la_ssize_t>(len);
}

}  // namespace

std::string UpdatePackage::zip(const std::vector<UpdateEntry>& entries) {
  std::string out;
  std::unique_ptr<archive, decltype(&archive_write_free)> a(archive_write_new(),
                                                            archive_write_free);
  archive_write_set_format_zip(a.get());
  archive_write_set_bytes_in_last_block(a.get(), 1);
  if (archive_write_open2(a.get(), &out, nullptr, appendTo, nullptr, nullptr) != ARCHIVE_OK)
    throw std::runtime_error("zip: open failed");
  for (const auto& in : entries) {
    std::unique_ptr<archive_entry, decltype(&archive_entry_free)> e(archive_entry_new(),
                                                                    archive_entry_free);
    archive_entry_set_pathname(e.get(), in.path.c_str());
    archive_entry_set_mtime(e.get(), 1700000000, 0);
    switch (in.type) {
      case UpdateEntry::Type::File:
        archive_entry_set_filetype(e.get(), AE_IFREG);
        break;
      case UpdateEntry::Type::Directory:
        archive_entry_set_filetype(e.get(), AE_IFDIR);
        break;
      case UpdateEntry::Type::Symlink:
        archive_entry_set_filetype(e.get(), AE_IFLNK);
        archive_entry_set_symlink(e.get(), in.content.c_str());
        break;
      case UpdateEntry::Type::HardLink:
        archive_entry_set_filetype(e.get(), AE_IFREG);
        archive_entry_set_hardlink(e.get(), in.content.c_str());
        break;
      case UpdateEntry::Type::Fifo:
        archive_entry_set_filetype(e.get(), AE_IFIFO);
        break;
      case UpdateEntry::Type::CharDevice:
        archive_entry_set_filetype(e.get(), AE_IFCHR);
        break;
    }
    archive_entry_set_perm(e.get(), in.mode);
    const bool data = in.type == UpdateEntry::Type::File;
    archive_entry_set_size(e.get(), data ? static_cast<la_int64_t>(in.content.size()) : 0);
    if (archive_write_header(a.get(), e.get()) < ARCHIVE_WARN)
      throw std::runtime_error(std::string("zip: ") + archive_error_string(a.get()));
    if (data && !in.content.empty())
      archive_write_data(a.get(), in.content.data(), in.content.size());
  }
  archive_write_close(a.get());
  return out;
}

std::vector<UpdateEntry> UpdatePackage::release(
    const std::vector<std::pair<std::string, std::string>>& files) {
  std::map<std::string, std::string> all(files.begin(), files.end());
  all.emplace("bin/gelmora", "#!/bin/sh\necho gelmora\n");
  std::set<std::string> dirs;
  std::string manifest;
  for (const auto& [path, bytes] : all) {
    manifest += path + "\n";
    for (auto slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
      dirs.insert(path.substr(0, slash));
  }
  dirs.insert("share");
  dirs.insert("share/gelmora");
  std::vector<UpdateEntry> out{{"gelmora/", UpdateEntry::Type::Directory, 0755, ""}};
  for (const auto& d : dirs)
    out.push_back({"gelmora/" + d + "/", UpdateEntry::Type::Directory, 0755, ""});
  for (const auto& [path, bytes] : all)
    out.push_back({"gelmora/" + path, UpdateEntry::Type::File,
                   static_cast<mode_t>(path.rfind("bin/", 0) == 0 ? 0755 : 0644), bytes});
  out.push_back(
      {"gelmora/share/gelmora/install_manifest.txt", UpdateEntry::Type::File, 0644, manifest});
  return out;
}

std::string UpdatePackage::zipFolder(const std::string& folder) {
  namespace fs = std::filesystem;
  std::vector<UpdateEntry> entries{{"gelmora/", UpdateEntry::Type::Directory, 0755, ""}};
  std::string manifest;
  bool hasManifest = false;
  std::vector<fs::path> paths;
  for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator();
       ++it)
    paths.push_back(it->path());
  std::sort(paths.begin(), paths.end());
  for (const auto& p : paths) {
    const std::string rel = fs::relative(p, folder).string();
    const auto st = fs::symlink_status(p);
    const mode_t mode = static_cast<mode_t>(st.permissions()) & 07777;
    if (fs::is_symlink(st)) {
      entries.push_back(
          {"gelmora/" + rel, UpdateEntry::Type::Symlink, 0777, fs::read_symlink(p).string()});
      manifest += rel + "\n";
    } else if (fs::is_directory(st)) {
      entries.push_back({"gelmora/" + rel + "/", UpdateEntry::Type::Directory, mode, ""});
    } else {
      std::ifstream in(p, std::ios::binary);
      std::stringstream s;
      s << in.rdbuf();
      entries.push_back({"gelmora/" + rel, UpdateEntry::Type::File, mode, s.str()});
      if (rel == "share/gelmora/install_manifest.txt")
        hasManifest = true;
      else
        manifest += rel + "\n";
    }
  }
  if (!hasManifest)
    entries.push_back(
        {"gelmora/share/gelmora/install_manifest.txt", UpdateEntry::Type::File, 0644, manifest});
  return zip(entries);
}

bool UpdateServing::parse(const std::string& text) {
  if (text == "no-length") return noLength = true;
  if (text == "wrong-signature") return wrongSignature = true;
  if (text == "no-signature") return noSignature = true;
  if (text == "slow") return slow = true;
  if (text.rfind("cut=", 0) == 0 && text.size() > 4 && text.size() < 14 &&
      text.find_first_not_of("0123456789", 4) == std::string::npos) {
    cutAfter = std::stoull(text.substr(4));
    return true;
  }
  return false;
}

void UpdatePackage::serve(OlderService& service, const std::string& archive,
                          const UpdateServing& how) {
  const std::string path = "/q5client-macos/client.zip";
  service.putFile(path, archive);
  OlderService::Script script;
  if (how.noLength) script.mode = OlderService::Mode::NoLength;
  if (how.cutAfter > 0) {
    script.mode = OlderService::Mode::Cut;
    script.cutAfter = how.cutAfter;
  }
  if (how.slow) {
    script.mode = OlderService::Mode::Trickle;
    script.delay = std::chrono::milliseconds(20);
  }
  if (script.mode != OlderService::Mode::Answer) service.setFileScript(path, script);
  if (!how.noSignature)
    service.putFile(path + ".sig",
                    sign(archive, how.wrongSignature ? otherKeyPath() : testKeyPath()));
}

std::string UpdatePackage::sign(const std::string& bytes, const std::string& keyPath) {
  FILE* f = std::fopen(keyPath.c_str(), "r");
  if (!f) throw std::runtime_error("sign: no key " + keyPath);
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      PEM_read_PrivateKey(f, nullptr, nullptr, nullptr), EVP_PKEY_free);
  std::fclose(f);
  if (!key) throw std::runtime_error("sign: bad key " + keyPath);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  std::string sig(64, '\0');
  size_t len = sig.size();
  if (EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
      EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(sig.data()), &len,
                     reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) != 1 ||
      len != 64)
    throw std::runtime_error("sign: failed");
  return sig;
}

}  // namespace standin
