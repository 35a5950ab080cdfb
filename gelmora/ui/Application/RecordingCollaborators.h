#pragma once
// Recording stand-ins of the application's collaborators, for tests: each keeps what it was asked
// and does nothing else. Main thread only.
#include <optional>
#include <string>
#include <vector>

#include "gelmora/Application/AlertSheetPresenter.h"
#include "gelmora/Application/Clipboard.h"
#include "gelmora/Application/ProcessControl.h"
#include "gelmora/Application/UrlOpener.h"

namespace gelmora::ui {

class RecordingAlertSheetPresenter : public AlertSheetPresenter {
 public:
  struct Sheet {
    enum Kind { Error, Plain, WindowAlert, Buttons, Modal } kind;
    std::optional<std::string> messageText;
    std::optional<std::string> informativeText;
    Completion done;
    std::vector<std::string> buttons = {};
  };
  void showErrorSheet(std::optional<std::string> m, std::optional<std::string> i) override {
    sheets.push_back({Sheet::Error, std::move(m), std::move(i), {}});
  }
  void showSheet(std::optional<std::string> m, std::optional<std::string> i,
                 Completion done) override {
    sheets.push_back({Sheet::Plain, std::move(m), std::move(i), std::move(done)});
  }
  void showButtonsSheet(std::optional<std::string> m, std::optional<std::string> i,
                        std::vector<std::string> buttons, Completion done) override {
    sheets.push_back(
        {Sheet::Buttons, std::move(m), std::move(i), std::move(done), std::move(buttons)});
  }
  // Answers modalResponse at once.
  long runModalAlert(std::optional<std::string> m, std::optional<std::string> i,
                     std::vector<std::string> buttons) override {
    sheets.push_back({Sheet::Modal, std::move(m), std::move(i), {}, std::move(buttons)});
    return modalResponse;
  }
  WindowAlert keyWindowAlert() override {
    ++windowAlertsTaken;
    return [this](const std::string& info) {
      sheets.push_back({Sheet::WindowAlert, std::string(), info, {}});
    };
  }
  // Answers sheet `index` with `response` as the user would (nothing when it has no completion).
  void answer(size_t index, long response = 1000) {
    if (index < sheets.size() && sheets[index].done) sheets[index].done(response);
  }

  std::vector<Sheet> sheets;
  int windowAlertsTaken = 0;
  long modalResponse = 1000;
};

class RecordingUrlOpener : public UrlOpener {
 public:
  void openURL(const std::string& url) override { opened.push_back(url); }
  std::vector<std::string> opened;
};

class RecordingProcessControl : public ProcessControl {
 public:
  void exit(int status) override { exits.push_back(status); }
  std::vector<int> exits;
};

class RecordingClipboard : public Clipboard {
 public:
  std::vector<std::string> texts() override { return contents; }
  void setText(const std::string& text) override {
    contents = {text};
    ++writes;
  }
  void clear() override {
    contents.clear();
    ++clears;
  }
  std::vector<std::string> contents;
  int writes = 0;
  int clears = 0;
};

}  // namespace gelmora::ui
