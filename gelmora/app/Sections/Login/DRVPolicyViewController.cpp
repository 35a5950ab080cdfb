#include "app/Sections/Login/DRVPolicyViewController.h"

#include <QPushButton>

#include "app/WebProfile.h"
#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/Log.h"
#include "ui/Application/QtProcessControl.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsStyleSheet.h"
#include "ui/Kit/ViewHelpers.h"

namespace {

QPushButton* toolButton(const char* key, QWidget* parent) {
  auto* b = new QPushButton(gelmora::ui::L10n::text(key), parent);
  b->setFlat(true);
  b->setFont(TsStyleSheet::sharedInstance().h3());
  b->setStyleSheet("QPushButton { background: white; color: black; border: none; }");
  return b;
}

}  // namespace

DRVPolicyViewController::DRVPolicyViewController(Collaborators c, QWidget* parent)
    : QWidget(parent), c_(std::move(c)) {
  setGeometry(100, 50, 600, 550);
  gelmora::ui::setBackgroundColor(this, Qt::white);

  webView_ = new QWebEngineView(this);
  webView_->setPage(new QWebEnginePage(gelmora::app::WebProfile::shared(), webView_));
  webView_->page()->setBackgroundColor(Qt::white);
  webView_->setGeometry(0, 0, 600, 500);
  toolBarView_ = new QWidget(this);
  gelmora::ui::setBackgroundColor(toolBarView_, Qt::white);
  toolBarView_->setGeometry(0, 500, 600, 40);

  auto* agree = toolButton("同意", toolBarView_);
  auto* refuse = toolButton("不同意", toolBarView_);
  refuse->setGeometry(100, 10, 100, 30);
  agree->setGeometry(430, 10, 100, 30);
  connect(agree, &QPushButton::clicked, this, [this] { agreePolicy(); });
  connect(refuse, &QPushButton::clicked, this, [this] { refusePolicy(); });
  agreeButton_ = agree;
  refuseButton_ = refuse;

  std::string host;
  if (c_.h5Domain) {
    host = c_.h5Domain();
  } else if (auto env = ::app().env()) {
    host = env->H5Domain();
  }
  loadRequestWithStringUrl("http://" + host + "/term-of-use/dravik.html");
}

void DRVPolicyViewController::loadRequestWithStringUrl(const std::string& url) {
  const QUrl address(QString::fromStdString(url), QUrl::StrictMode);
  if (!address.isValid() || address.host().isEmpty()) {
    gelmora::logLine("terms page: no valid address to load");
    return;
  }
  webView_->load(address);
}

void DRVPolicyViewController::agreePolicy() {
  (c_.defaults ? *c_.defaults : ::app().defaults()).setAgreedPolicy(true);
  hide();
  Q_EMIT dismissed();
  if (isWindow()) close();
}

void DRVPolicyViewController::refusePolicy() {
  if (c_.process) {
    c_.process->exit(0);
    return;
  }
  gelmora::ui::QtProcessControl().exit(0);
}
