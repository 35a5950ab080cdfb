#pragma once
// Fixture of the older windows' widget tests: scripted older services, recorded sheets, addresses,
// clipboard and exits, a private registry with the older windows and a recording web window, a
// private key-value store and a virtual clock for the windows' timers.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <chrono>
#include <memory>
#include <vector>

#include "../TestSupport.h"
#include "UiTestSupport.h"
#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Legacy/FakeLegacyServices.h"
#include "gelmora/Service/Params/TsParamsDirectory.h"
#include "gelmora/Service/Tools/LOG.h"
#include "platform/dispatch/Clock.h"
#include "ui/Application/RecordingCollaborators.h"
#include "ui/Application/ScreenRegistry.h"
#include "ui/Legacy/LegacyContext.h"
#include "ui/Legacy/LegacySheets.h"
#include "ui/Legacy/LegacyWindows.h"

namespace gelmora::ui::test {

class RecordingWebWindow : public WebWindowHandle {
 public:
  void close() override { closed = true; }
  QWidget* window() const override { return nullptr; }
  bool closed = false;
};

class LegacyUiTest : public ::testing::Test {
 protected:
  LegacyUiTest() {
    LOG::setConsoleSink([](const std::string&) {});
    store = std::make_shared<platform::defaults::Store>(dir.path() / "defaults.json");
    TsParamsDirectory::setStore(store);
    AppEnvironment::setCurrentEnvironment(std::make_shared<AppEnvironment>());
    registerOlderWindows(screens);
    screens.webWindow.set([this](const WebWindowRequest& r) {
      webRequests.push_back(r);
      return std::make_unique<RecordingWebWindow>();
    });
    ctx.services = &services;
    ctx.sheets = &sheets;
    ctx.urls = &urls;
    ctx.clipboard = &clip;
    ctx.process = &process;
    ctx.screens = &screens;
    ctx.clock = clock.shared();
    ctx.random = [this] { return draws++; };
  }
  ~LegacyUiTest() override {
    TsParamsDirectory::setStore(nullptr);
    LOG::setConsoleSink({});
  }

  // Processes events and moves virtual time in 10 ms steps until `done` holds (real-time guard
  // against a hang only).
  bool runUntil(const std::function<bool()>& done, int limitMs = 20000) {
    QElapsedTimer real;
    real.start();
    while (!done()) {
      if (real.elapsed() > limitMs) return done();
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
      if (done()) break;
      clock.advance(std::chrono::milliseconds(10));
    }
    return true;
  }
  // Processes events, no virtual time passes.
  bool settle(const std::function<bool()>& done) { return waitFor(done, 20000); }
  void advance(std::chrono::milliseconds d) {
    clock.advance(d);
    QCoreApplication::processEvents();
  }
  std::string stored(const char* key) {
    auto v = TsParamsDirectory::getValue(key);
    if (v && std::holds_alternative<std::string>(*v)) return std::get<std::string>(*v);
    return "<none>";
  }
  const LegacySheet* lastSheet() const {
    return sheets.shown.empty() ? nullptr : &sheets.shown.back().sheet;
  }

  TempDir dir;
  std::shared_ptr<platform::defaults::Store> store;
  platform::dispatch::ScopedVirtualClock clock;
  FakeLegacyServices services;
  RecordingLegacySheets sheets;
  RecordingUrlOpener urls;
  RecordingClipboard clip;
  RecordingProcessControl process;
  ScreenRegistry screens;
  std::vector<WebWindowRequest> webRequests;
  LegacyContext ctx;
  std::uint32_t draws = 0;
};

}  // namespace gelmora::ui::test
