#pragma once
// Placeholder of a SHA-1-checked download: it downloads nothing and reports failure at once.
#include <memory>
#include <string>

class DownloadProtocol {
 public:
  virtual ~DownloadProtocol() = default;
  virtual void cbDownloadFail(const std::string& reason) = 0;
};

class DownloadHelper {
 public:
  static constexpr const char* kNotWrittenText = "开发还没写下载逻辑";

  std::shared_ptr<DownloadProtocol> downloadProtocol() const { return downloadProtocol_; }
  void setDownloadProtocol(std::shared_ptr<DownloadProtocol> p) {
    downloadProtocol_ = std::move(p);
  }

  void downloadWithSha1(const std::string& address, const std::string& savePath,
                        const std::string& sha1);

 private:
  std::shared_ptr<DownloadProtocol> downloadProtocol_;
};
