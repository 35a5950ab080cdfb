#include "ui/Legacy/updateWindow.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QScreen>
#include <QVBoxLayout>
#include <cmath>

#include "gelmora/Application/ProgramEntry.h"
#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Core/Log.h"
#include "gelmora/Legacy/Update/UpdateInstaller.h"
#include "gelmora/Service/Params/TsParams.h"
#include "gelmora/Service/Params/TsParamsDirectory.h"
#include "ui/Application/QtAlertSheetPresenter.h"
#include "ui/Application/QtProcessControl.h"
#include "ui/Application/ScreenRegistry.h"

namespace gelmora::ui {

using gelmora::update::UpdateFailure;
using gelmora::update::UpdateFlow;
using gelmora::update::UpdateOutcome;

namespace {

constexpr const char* kErrorTitle = "错误";
constexpr const char* kOkButton = "确定";

void centreOnScreen(QWidget* window) {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return;
  QRect frame = window->frameGeometry();
  frame.moveCenter(screen->availableGeometry().center());
  window->move(frame.topLeft());
}

void present(QWidget* window) {
  centreOnScreen(window);
  window->show();
  window->raise();
  window->activateWindow();
}

}  // namespace

updateWindow::updateWindow(Options options, QWidget* parent)
    : QWidget(parent, Qt::Window), options_(std::move(options)) {
  setWindowTitle(QStringLiteral("版本更新"));
  setFixedSize(420, 150);
  setObjectName(QStringLiteral("updateWindow"));
  setStyleSheet(QStringLiteral("#updateWindow { background: #ffffff; }"));

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(30, 26, 30, 30);
  layout->setSpacing(16);
  labeInitData_ = new QLabel(this);
  labeInitData_->setObjectName(QStringLiteral("labeInitData"));
  labeInitData_->setAlignment(Qt::AlignCenter);
  labeInitData_->setWordWrap(true);
  QFont font = labeInitData_->font();
  font.setPixelSize(14);
  labeInitData_->setFont(font);
  labeInitData_->setStyleSheet(QStringLiteral("color: #333333;"));
  labeInitData_->setText(QString::fromStdString(gelmora::update::updateProgressText(0, 0)));
  layout->addWidget(labeInitData_, 1);
  NowProgressBar_ = new QProgressBar(this);
  NowProgressBar_->setObjectName(QStringLiteral("NowProgressBar"));
  NowProgressBar_->setTextVisible(false);
  NowProgressBar_->setFixedHeight(10);
  NowProgressBar_->setRange(0, 0);
  layout->addWidget(NowProgressBar_);

  if (options_.alerts) {
    alerts_ = options_.alerts;
  } else {
    ownAlerts_ = std::make_unique<QtAlertSheetPresenter>(this);
    alerts_ = ownAlerts_.get();
  }
  if (options_.context.process) {
    process_ = options_.context.process;
  } else {
    ownProcess_ = std::make_unique<QtProcessControl>();
    process_ = ownProcess_.get();
  }
  // The window has loaded once the event loop runs: start then.
  QMetaObject::invokeMethod(
      this, [this] { updateClientToLatestVersion(); }, Qt::QueuedConnection);
}

updateWindow::~updateWindow() {
  cancel_ = true;
  joinWorker();
}

void updateWindow::joinWorker() {
  if (worker_.joinable()) worker_.join();
}

void updateWindow::updateClientToLatestVersion() {
  if (closed_ || flow_) return;
  std::string host = options_.usedHost.empty() ? TsParams::getUseddomain() : options_.usedHost;
  std::string dir = options_.installDir.empty()
                        ? gelmora::update::UpdateInstaller::installationOf(entry::executablePath())
                        : options_.installDir;
  std::string helper =
      options_.helperPath.empty()
          ? (dir.empty() ? std::string() : dir + "/libexec/gelmora/gelmora-update-helper")
          : options_.helperPath;

  UpdateFlow::Steps steps = options_.steps;
  // The download's texts and values come from the worker: shown in order on the main thread.
  // The window joins the worker before it goes, so a post either arrives or is dropped with it.
  steps.status = [this](const std::string& text) {
    QMetaObject::invokeMethod(
        this, [this, text] { showStatus(text); }, Qt::QueuedConnection);
  };
  steps.progress = [this](double value, double maximum) {
    QMetaObject::invokeMethod(
        this, [this, value, maximum] { showProgress(value, maximum); }, Qt::QueuedConnection);
  };
  // Rights are asked on the main thread: the retry and refusal alerts are modal.
  steps.alert = [this](const std::string& informative) {
    alerts_->runModalAlert(std::string(kErrorTitle), informative, {kOkButton});
  };
  if (!steps.log) steps.log = [](const std::string& line) { gelmora::logLine(line); };
  steps.cancel = &cancel_;
  flow_ = std::make_unique<UpdateFlow>(host, dir, helper, std::move(steps));

  downloading_ = true;
  try {
    worker_ = std::thread([this] {
      std::optional<UpdateOutcome> failed = flow_->download();
      QMetaObject::invokeMethod(
          this, [this, failed] { downloadEnded(failed); }, Qt::QueuedConnection);
    });
  } catch (const std::exception& e) {
    downloading_ = false;
    gelmora::logLine(std::string("DDK 下载异常 ") + e.what());
  }
}

void updateWindow::showStatus(const std::string& text) {
  labeInitData_->setText(QString::fromStdString(text));
  if (options_.steps.status) options_.steps.status(text);
}

void updateWindow::showProgress(double value, double maximum) {
  if (maximum < 0) {
    NowProgressBar_->setRange(0, 0);  // busy: the length is not known
  } else {
    const int max = static_cast<int>(std::min(maximum, 2147483647.0));
    if (NowProgressBar_->maximum() != max) NowProgressBar_->setRange(0, max);
    NowProgressBar_->setValue(static_cast<int>(std::min(value, static_cast<double>(max))));
  }
  if (options_.steps.progress) options_.steps.progress(value, maximum);
}

void updateWindow::downloadEnded(std::optional<UpdateOutcome> failed) {
  joinWorker();
  downloading_ = false;
  if (closed_) {
    flow_.reset();
    return;
  }
  if (failed) return finish(*failed);
  // As the older window did: the rest runs on the main thread, blocking it, with modal alerts.
  if (auto refused = flow_->obtainRights()) return finish(*refused);
  finish(flow_->install());
}

void updateWindow::finish(const UpdateOutcome& outcome) {
  flow_.reset();  // the downloaded files go now
  switch (outcome.kind) {
    case UpdateOutcome::Kind::Installed: {
      const std::string dir =
          options_.installDir.empty()
              ? gelmora::update::UpdateInstaller::installationOf(entry::executablePath())
              : options_.installDir;
      gelmora::logLine("update: no file manager to refresh for " + dir);
      alerts_->runModalAlert(std::string(gelmora::update::kUpdateSucceededText), std::string(),
                             {kOkButton});
      process_->exit(0);
      return;
    }
    case UpdateOutcome::Kind::RightsRefused:
      // The refusal alert has been shown; the old installation stays.
      process_->exit(1);
      return;
    case UpdateOutcome::Kind::Failed:
      showFailure(outcome.failure);
      return;
  }
}

void updateWindow::showFailure(const UpdateFailure& failure) {
  gelmora::logLine("update failed: " + failure.text());
  QPointer<updateWindow> self(this);
  alerts_->showButtonsSheet(std::string(gelmora::update::kUpdateFailedText),
                            std::string(gelmora::update::kUpdateFailedInformative) + failure.text(),
                            {kFeedbackButton, kQuitButton, kSkipButton}, [self](long response) {
                              if (self) self->answerFailure(response);
                            });
}

void updateWindow::answerFailure(long response) {
  if (response == 1000) {  // 意见反馈
    std::string url = options_.supportURL;
    if (url.empty()) {
      if (auto env = AppEnvironment::currentEnvironment())
        url = env->setting(AppEnvironment::kUpdateSupportChatURL);
    }
    TsParamsDirectory::setValue(kFeedbackKey, url);
    feedbackWindow_.reset(screens().olderWebWindow.make("Feedback"));
    if (feedbackWindow_) present(feedbackWindow_.get());
    close();
  } else if (response == 1002) {  // 跳过此版本
    switchLogin();
  } else {  // 退出程序, or the sheet closed without a choice
    close();
  }
}

ScreenRegistry& updateWindow::screens() const {
  return options_.context.screens ? *options_.context.screens : ScreenRegistry::shared();
}

void updateWindow::switchLogin() {
  loginWindow_.reset(screens().olderLogin.make(options_.context));
  if (loginWindow_) present(loginWindow_.get());
  hide();
}

void updateWindow::closeEvent(QCloseEvent* event) {
  // Closing while downloading ends the download; its folder goes with it.
  closed_ = true;
  cancel_ = true;
  QWidget::closeEvent(event);
}

void registerUpdateWindow(ScreenRegistry& registry) {
  registry.olderUpdate.set([](const LegacyContext& context) -> QWidget* {
    updateWindow::Options options;
    options.context = context;
    return new updateWindow(std::move(options));
  });
}

}  // namespace gelmora::ui
