#include "ui/Legacy/MainWindow.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>

#include "gelmora/General/Helper/TsSystemInformation.h"
#include "gelmora/Legacy/LegacyAccountData.h"
#include "gelmora/Legacy/LegacyPopup.h"
#include "gelmora/Service/Params/TsParamsDirectory.h"
#include "gelmora/Service/Tools/LOG.h"
#include "gelmora/Service/Tools/TsStringHelper.h"
#include "platform/dispatch/Queue.h"
#include "ui/Legacy/LegacySheets.h"

namespace gelmora::ui {

namespace dispatch = platform::dispatch;
using namespace std::chrono_literals;

namespace {

QPointer<MainWindow>& mainReference() {
  static QPointer<MainWindow> main;
  return main;
}

QString q(const std::string& s) { return QString::fromStdString(s); }

// The start screen's cycling pictures: our own drawings, one colour and figure per name.
QPixmap drawPicture(const QString& name) {
  QPixmap pm(300, 170);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  struct Look {
    const char* name;
    QColor from, to;
  };
  static const Look looks[] = {{"work.png", QColor(0x2f, 0x6b, 0xd8), QColor(0x5a, 0x3f, 0xc9)},
                               {"live.png", QColor(0xe0, 0x4a, 0x7a), QColor(0x9b, 0x3d, 0xd9)},
                               {"music.png", QColor(0x1f, 0xa8, 0x8e), QColor(0x2f, 0x6b, 0xd8)},
                               {"game.png", QColor(0xf0, 0x8a, 0x24), QColor(0xd9, 0x3d, 0x5a)},
                               {"video.png", QColor(0x3d, 0x8b, 0xfd), QColor(0x1f, 0xa8, 0x8e)}};
  Look look = looks[0];
  for (const auto& l : looks) {
    if (name == QLatin1String(l.name)) look = l;
  }
  QLinearGradient g(0, 0, 300, 170);
  g.setColorAt(0, look.from);
  g.setColorAt(1, look.to);
  QPainterPath card;
  card.addRoundedRect(QRectF(4, 4, 292, 162), 18, 18);
  p.fillPath(card, g);
  p.setPen(QPen(QColor(255, 255, 255, 220), 6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(Qt::NoBrush);
  const QPointF c(150, 85);
  if (name == "work.png") {
    p.drawRoundedRect(QRectF(105, 60, 90, 60), 8, 8);
    p.drawLine(QPointF(130, 60), QPointF(135, 48));
    p.drawLine(QPointF(135, 48), QPointF(165, 48));
    p.drawLine(QPointF(165, 48), QPointF(170, 60));
  } else if (name == "live.png") {
    p.drawEllipse(c, 38, 38);
    p.setBrush(QColor(255, 255, 255, 220));
    QPolygonF tri({QPointF(140, 68), QPointF(140, 102), QPointF(168, 85)});
    p.drawPolygon(tri);
  } else if (name == "music.png") {
    p.drawLine(QPointF(140, 50), QPointF(140, 110));
    p.drawLine(QPointF(140, 50), QPointF(180, 42));
    p.drawLine(QPointF(180, 42), QPointF(180, 100));
    p.setBrush(QColor(255, 255, 255, 220));
    p.drawEllipse(QPointF(130, 112), 12, 9);
    p.drawEllipse(QPointF(170, 102), 12, 9);
  } else if (name == "game.png") {
    p.drawRoundedRect(QRectF(95, 62, 110, 50), 24, 24);
    p.drawLine(QPointF(120, 87), QPointF(136, 87));
    p.drawLine(QPointF(128, 79), QPointF(128, 95));
    p.setBrush(QColor(255, 255, 255, 220));
    p.drawEllipse(QPointF(172, 82), 5, 5);
    p.drawEllipse(QPointF(184, 93), 5, 5);
  } else {
    p.drawRoundedRect(QRectF(100, 58, 100, 62), 8, 8);
    p.drawLine(QPointF(130, 132), QPointF(170, 132));
  }
  return pm;
}

const char* kLeftBoxes[4] = {"boxLeftSpeed", "boxLeftMine", "boxLeftRecharge", "boxLeftShare"};

}  // namespace

MainWindow* MainWindow::Main() { return mainReference().data(); }

MainWindow::MainWindow(const LegacyContext& context, QWidget* parent)
    : QWidget(parent, Qt::Window), ctx_(context.resolved()) {
  setObjectName("MainWindow");
  setWindowTitle(QStringLiteral("加速器"));
  build();
  start_ = std::make_unique<LegacyStartSequence>(*ctx_.services, state_, *this, ctx_.clock);
  heartbeat_ = std::make_unique<LegacyHeartbeat>(
      *ctx_.services, state_, *this, [this] { OnStopSpeedClick(false); }, ctx_.clock);
  signOut_ = std::make_shared<dispatch::SerialQueue>("older-sign-out");

  // Opening, in the layout's order.
  auto loginData = TsParamsDirectory::getNSDictionaryValue("login_data");
  if (loginData) updatePacketContent(*loginData);
  ShowMessageBoxOfPublic(loginData);
  state_.speedState = 1;
  mainReference() = this;
  findChild<QLabel*>("labelVersion")->setText(q("v " + TsSystemInformation::clientVersion()));
  heartbeat_->startTimer();
  indexLoadImage_ = 1;
  std::weak_ptr<bool> alive = alive_;
  pictureTimer_ = dispatch::repeating(
      3s, dispatch::mainQueue(),
      [this, alive] {
        if (!alive.lock()) return;
        indexLoadImage_ = (indexLoadImage_ + 1) % 5;
        showPicture(indexLoadImage_);
      },
      {}, ctx_.clock);
  showPicture(1);
  ctx_.services->log("登录成功", true);
}

MainWindow::~MainWindow() {
  alive_.reset();
  pictureTimer_.cancel();
  quitLimit_.cancel();
  heartbeat_.reset();
  start_.reset();
  signOut_->shutdown();
}

void MainWindow::postMain(std::function<void()> task) {
  std::weak_ptr<bool> alive = alive_;
  dispatch::postToMain([alive, task = std::move(task)] {
    if (alive.lock()) task();
  });
}

QLabel* MainWindow::label(const char* name, const QString& text, QWidget* parent) {
  auto* l = new QLabel(text, parent);
  l->setObjectName(name);
  return l;
}

QFrame* MainWindow::box(const char* name, QWidget* parent) {
  auto* b = new QFrame(parent);
  b->setObjectName(name);
  return b;
}

void MainWindow::build() {
  setStyleSheet(
      "QWidget#MainWindow { background: #171a29; }"
      "QWidget#leftMenu { background: #10121d; }"
      "QLabel { color: #e8eaf2; font-size: 13px; }"
      "QLabel[role=\"big\"] { font-size: 22px; font-weight: bold; color: #ffffff; }"
      "QLabel[role=\"dim\"] { color: #8a90a8; font-size: 12px; }"
      "QFrame[role=\"highlight\"] { background: #3d8bfd; border-radius: 3px; }"
      "QFrame[role=\"notice\"] { background: #3a2a1a; border: 1px solid #f08a24;"
      " border-radius: 6px; }"
      "QFrame#boxClickSpeedBegin, QFrame#boxClickSpeedRunning { background: transparent; }"
      "QPushButton { color: #e8eaf2; background: #262a40; border: 1px solid #3b4160;"
      " border-radius: 6px; padding: 6px 14px; font-size: 13px; }"
      "QPushButton:hover { background: #30355a; }"
      "QPushButton#btnStartspeed { background: qlineargradient(x1:0,y1:0,x2:1,y2:1,"
      " stop:0 #3d8bfd, stop:1 #9b3dd9); border: none; border-radius: 60px; }"
      "QPushButton#btnStartspeed:disabled { background: #3b4160; }"
      "QPushButton[role=\"menu\"] { background: transparent; border: none; text-align: left;"
      " padding: 10px 18px; font-size: 15px; }");
  resize(950, 600);
  auto* root = new QHBoxLayout(this);
  root->setContentsMargins(0, 0, 0, 0);
  root->setSpacing(0);

  // Left menu.
  auto* left = new QWidget(this);
  left->setObjectName("leftMenu");
  left->setAttribute(Qt::WA_StyledBackground);
  left->setFixedWidth(170);
  auto* leftLayout = new QVBoxLayout(left);
  leftLayout->setContentsMargins(0, 24, 0, 16);
  auto* logo = label("labelLogo", QStringLiteral("加速器"), left);
  logo->setProperty("role", "big");
  logo->setAlignment(Qt::AlignCenter);
  leftLayout->addWidget(logo);
  leftLayout->addSpacing(24);
  const QString entries[4] = {QStringLiteral("加速"), QStringLiteral("我的"),
                              QStringLiteral("充值"), QStringLiteral("分享")};
  for (int i = 0; i < 4; ++i) {
    auto* row = new QHBoxLayout;
    row->setSpacing(0);
    auto* mark = box(kLeftBoxes[i], left);
    mark->setProperty("role", "highlight");
    mark->setFixedSize(4, 30);
    mark->setVisible(i == 0);
    auto* button = new QPushButton(entries[i], left);
    button->setProperty("role", "menu");
    button->setObjectName(QString("left%1").arg(i));
    row->addWidget(mark);
    row->addWidget(button, 1);
    leftLayout->addLayout(row);
    connect(button, &QPushButton::clicked, this, [this, i] {
      if (i == 0) OnLeftSpeedClick();
      if (i == 1) OnLeftMineClick();
      if (i == 2) OnLeftRechargeClick();
      if (i == 3) OnLeftShareClick();
    });
  }
  leftLayout->addStretch();
  auto* back = new QPushButton(QStringLiteral("退出登录"), left);
  back->setObjectName("btnBackLogin");
  connect(back, &QPushButton::clicked, this, [this] { OnBackLoginClick(); });
  leftLayout->addWidget(back, 0, Qt::AlignHCenter);
  auto* version = label("labelVersion", "", left);
  version->setProperty("role", "dim");
  version->setAlignment(Qt::AlignCenter);
  leftLayout->addWidget(version);
  root->addWidget(left);

  // Content area.
  tabs_ = new QStackedWidget(this);
  tabs_->setObjectName("tableViewMainForme");
  root->addWidget(tabs_, 1);

  // speed_normal: the start control and the cycling picture.
  auto* normal = new QWidget(tabs_);
  normal->setObjectName("speed_normal");
  auto* nl = new QVBoxLayout(normal);
  nl->setContentsMargins(40, 30, 40, 30);
  auto* header = new QHBoxLayout;
  auto* packet = label("labelPacketType", QStringLiteral("未知套餐"), normal);
  packet->setProperty("role", "dim");
  auto* expiry = label("labelLastTimeA", QString(), normal);
  expiry->setProperty("role", "dim");
  header->addWidget(packet);
  header->addStretch();
  header->addWidget(expiry);
  nl->addLayout(header);
  auto* image = new QLabel(normal);
  image->setObjectName("imageStartSpeed");
  image->setAlignment(Qt::AlignCenter);
  image->setFixedHeight(180);
  nl->addWidget(image);
  auto* control = new QWidget(normal);
  auto* cl = new QGridLayout(control);
  cl->setContentsMargins(0, 0, 0, 0);
  auto* startButton = new QPushButton(control);
  startButton->setObjectName("btnStartspeed");
  startButton->setFixedSize(120, 120);
  connect(startButton, &QPushButton::clicked, this, [this] { OnStartspeedClick(); });
  cl->addWidget(startButton, 0, 0, Qt::AlignCenter);
  auto* begin = box("boxClickSpeedBegin", control);
  begin->setAttribute(Qt::WA_TransparentForMouseEvents);
  auto* bl = new QVBoxLayout(begin);
  auto* content = label("labelStartspeedContent", QStringLiteral("启动加速"), begin);
  content->setProperty("role", "big");
  content->setAlignment(Qt::AlignCenter);
  bl->addWidget(content);
  cl->addWidget(begin, 0, 0, Qt::AlignCenter);
  auto* running = box("boxClickSpeedRunning", control);
  running->setAttribute(Qt::WA_TransparentForMouseEvents);
  auto* rl = new QVBoxLayout(running);
  auto* progress = label("labelSpeedProgress", "0", running);
  progress->setProperty("role", "big");
  progress->setAlignment(Qt::AlignCenter);
  rl->addWidget(progress);
  running->hide();
  cl->addWidget(running, 0, 0, Qt::AlignCenter);
  auto* unused = new QPushButton(control);
  unused->setObjectName("btnStartspeed1");
  unused->hide();
  nl->addWidget(control);
  auto* hint = label("labelStartHint", QStringLiteral("点击按钮，开启游戏加速"), normal);
  hint->setProperty("role", "dim");
  hint->setAlignment(Qt::AlignCenter);
  nl->addWidget(hint);
  nl->addStretch();
  tabs_->addWidget(normal);

  // speed_sucessful: the speed figures and the stop control.
  auto* ok = new QWidget(tabs_);
  ok->setObjectName("speed_sucessful");
  auto* ol = new QVBoxLayout(ok);
  ol->setContentsMargins(60, 50, 60, 40);
  auto* okTitle = label("labelSpeedOk", QStringLiteral("加速中"), ok);
  okTitle->setProperty("role", "big");
  okTitle->setAlignment(Qt::AlignCenter);
  ol->addWidget(okTitle);
  ol->addSpacing(30);
  auto* grid = new QGridLayout;
  const char* names[4][2] = {{"上传速度", "labelUpSpeed"},
                             {"下载速度", "labelDownSpeed"},
                             {"上传流量", "labelUpFlowSize"},
                             {"下载流量", "labelDownFlowSoze"}};
  for (int i = 0; i < 4; ++i) {
    auto* caption = label("", QString::fromUtf8(names[i][0]), ok);
    caption->setProperty("role", "dim");
    auto* value = label(names[i][1], i < 2 ? "0 Kb/s" : "0 Kb", ok);
    value->setProperty("role", "big");
    grid->addWidget(caption, (i / 2) * 2, i % 2, Qt::AlignCenter);
    grid->addWidget(value, (i / 2) * 2 + 1, i % 2, Qt::AlignCenter);
  }
  ol->addLayout(grid);
  ol->addSpacing(30);
  auto* stop = new QPushButton(QStringLiteral("停止加速"), ok);
  stop->setObjectName("btnStopSpeed");
  connect(stop, &QPushButton::clicked, this, [this] { OnStopSpeedClick(true); });
  ol->addWidget(stop, 0, Qt::AlignHCenter);
  ol->addStretch();
  tabs_->addWidget(ok);

  // userinfo: the account panel.
  auto* info = new QWidget(tabs_);
  info->setObjectName("userinfo");
  auto* il = new QGridLayout(info);
  il->setContentsMargins(50, 40, 50, 40);
  il->setVerticalSpacing(14);
  struct Row {
    const char* caption;
    const char* name;
  };
  const Row rows[] = {{"账号", "labelUserName"},      {"套餐", "labelPacketLevel"},
                      {"到期时间", "labelLastTimeB"}, {"剩余流量", "labelLastFlowSize"},
                      {"线路", "labelLineLevel"},     {"带宽", "labelSpeed"}};
  int r = 0;
  for (const auto& row : rows) {
    auto* caption = label("", QString::fromUtf8(row.caption), info);
    caption->setProperty("role", "dim");
    il->addWidget(caption, r, 0);
    il->addWidget(label(row.name, QStringLiteral("-"), info), r, 1);
    ++r;
  }
  const Row notices[] = {{"当前为低速模式", "boxLowSpeed"},
                         {"套餐已到期，请续费", "boxAddTime"},
                         {"流量已用完，请购买流量", "boxAddFlowSize"}};
  for (const auto& n : notices) {
    auto* b = box(n.name, info);
    b->setProperty("role", "notice");
    auto* l = new QHBoxLayout(b);
    l->addWidget(new QLabel(QString::fromUtf8(n.caption), b));
    b->hide();
    il->addWidget(b, r++, 0, 1, 2);
  }
  auto* buttons = new QHBoxLayout;
  struct Action {
    const char* text;
    const char* name;
    void (MainWindow::*slot)();
  };
  const Action actions[] = {{"流量详情", "btnFlowDetail", &MainWindow::OnFlowDetailClick},
                            {"我的订单", "btnMyOrder", &MainWindow::OnMyOrderClick},
                            {"问题百科", "btnQuestion", &MainWindow::OnQuestionClick},
                            {"意见反馈", "btnFeedback", &MainWindow::OnFeedbackClick}};
  for (const auto& a : actions) {
    auto* b = new QPushButton(QString::fromUtf8(a.text), info);
    b->setObjectName(a.name);
    auto slot = a.slot;
    connect(b, &QPushButton::clicked, this, [this, slot] { (this->*slot)(); });
    buttons->addWidget(b);
  }
  il->addLayout(buttons, r++, 0, 1, 2);
  il->setRowStretch(r, 1);
  il->setColumnStretch(1, 1);
  tabs_->addWidget(info);
}

QString MainWindow::currentTab() const {
  return tabs_->currentWidget() ? tabs_->currentWidget()->objectName() : QString();
}

QWidget* MainWindow::flowDetailWindow() const {
  return flowDetailBWindow_ ? flowDetailBWindow_.get() : flowDetailAWindow_.get();
}

void MainWindow::showPicture(int index) {
  picture_ = QString::fromLatin1(kPictures[index % 5]);
  findChild<QLabel*>("imageStartSpeed")->setPixmap(drawPicture(picture_));
}

void MainWindow::highlight(const char* shown) {
  for (const char* name : kLeftBoxes) {
    findChild<QFrame*>(name)->setVisible(std::string_view(name) == shown);
  }
}

void MainWindow::OnLeftSpeedClick() {
  highlight("boxLeftSpeed");
  tabs_->setCurrentWidget(
      findChild<QWidget*>(state_.speedState == 3 ? "speed_sucessful" : "speed_normal"));
}

void MainWindow::OnLeftMineClick() {
  highlight("boxLeftMine");
  tabs_->setCurrentWidget(findChild<QWidget*>("userinfo"));
}

void MainWindow::OnLeftRechargeClick() {
  highlight("boxLeftRecharge");
  OnRechargeClick();
}

void MainWindow::OnLeftShareClick() { OnShareClick(); }

void MainWindow::OnFlowDetailClick() {
  ScreenRegistry& screens = *ctx_.screens;
  std::unique_ptr<QWidget>& slot = state_.userStatus == 2 ? flowDetailBWindow_ : flowDetailAWindow_;
  auto& factory = state_.userStatus == 2 ? screens.olderFlowDetailB : screens.olderFlowDetailA;
  slot.reset(factory.make(ctx_));
  if (!slot) return;
  slot->move(geometry().center() - slot->rect().center());
  slot->show();
  slot->raise();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  // The window never closes by its close button: it asks, and quits on confirmation.
  event->ignore();
  const QString minimise = QStringLiteral("如想最小化窗体，请点最小化按钮");
  LegacySheet sheet;
  sheet.info = minimise;
  const int state = state_.speedState;
  if (state == 2) {
    sheet.message = QStringLiteral("正在启动加速，请稍后退出");
    sheet.buttons = {QStringLiteral("确定")};
  } else {
    sheet.message = state == 3 ? QStringLiteral("正在加速中，关闭加速器后将无法加速，确认退出吗？")
                               : QStringLiteral("关闭加速器后将无法加速，确认退出吗？");
    sheet.buttons = {QStringLiteral("确定"), QStringLiteral("返回")};
    std::weak_ptr<bool> alive = alive_;
    sheet.done = [this, alive, state](long response) {
      if (!alive.lock() || response != 1) return;
      quit(state == 3);
    };
  }
  ctx_.sheets->show(this, std::move(sheet));
}

void MainWindow::quit(bool stopFirst) {
  if (quitting_) return;
  quitting_ = true;
  // Exit once the sign-out and the stop report ended, or at the limit.
  auto pending = std::make_shared<int>(stopFirst ? 2 : 1);
  auto exited = std::make_shared<bool>(false);
  ProcessControl* process = ctx_.process;
  auto finish = [process, exited] {
    if (*exited) return;
    *exited = true;
    process->exit(0);
  };
  auto oneEnded = [pending, finish] {
    if (--*pending == 0) finish();
  };
  if (stopFirst) {
    state_.speedState = 1;
    showSpeedTab();
    start_->stop(false, oneEnded);
  }
  logoutAction(oneEnded);
  quitLimit_ = dispatch::after(kQuitLimit, dispatch::mainQueue(), finish, ctx_.clock);
}

void MainWindow::logoutAction(std::function<void()> done) {
  LegacyServices* services = ctx_.services;
  std::weak_ptr<bool> alive = alive_;
  signOut_->async([services, done = std::move(done), alive] {
    TQError error;
    services->logout(&error);
    services->log("退出登录", true);
    if (done) {
      dispatch::postToMain([done, alive] {
        if (alive.lock()) done();
      });
    }
  });
}

void MainWindow::OnBackLoginClick() {
  const QString minimise = QStringLiteral("如想最小化窗体，请点最小化按钮");
  const int state = state_.speedState;
  if (state == 1) {
    ShowLoginWindow();
    return;
  }
  LegacySheet sheet;
  sheet.info = minimise;
  if (state == 2) {
    sheet.message = QStringLiteral("正在启动加速，请稍后退出");
    sheet.buttons = {QStringLiteral("确定")};
  } else {
    sheet.message = QStringLiteral("正在加速中，退出账号将会停止加速后将停止加速，确认退出吗？");
    sheet.buttons = {QStringLiteral("确定"), QStringLiteral("返回")};
    std::weak_ptr<bool> alive = alive_;
    sheet.done = [this, alive](long response) {
      if (!alive.lock() || response != 1) return;
      OnStopSpeedClick(false);
      ShowLoginWindow();
    };
  }
  ctx_.sheets->show(this, std::move(sheet));
}

void MainWindow::ShowLoginWindow() {
  TsParamsDirectory::setValue("login_token", std::string());
  loginWindow_.reset(ctx_.screens->olderLogin.make(ctx_));
  if (loginWindow_) {
    loginWindow_->move(geometry().center() - loginWindow_->rect().center());
    loginWindow_->show();
    loginWindow_->raise();
  }
  hide();
  heartbeat_->stopTimer();
  logoutAction({});
}

void MainWindow::OnStartspeedClick() { start_->start(); }

void MainWindow::OnStopSpeedClick(bool withSender) { start_->stop(withSender); }

void MainWindow::openWeb(LegacyPageQuery::Window w, std::unique_ptr<WebWindowHandle>& slot) {
  LegacyPageQuery::Inputs in;
  in.host = ctx_.services->getUseddomain();
  in.payList = TsParamsDirectory::getNSDictionaryValue("pay_list");
  in.defaultTopupBase = LegacyContext::topupBase();
  in.supportChat = LegacyContext::supportChatURL();
  in.suffix = LegacyPageQuery::pageSuffix(LegacyPageQuery::loginCode(LegacyPageQuery::pageQuery(
      TsSystemInformation::osVersion(), TsSystemInformation::clientVersion(),
      TsSystemInformation::macAddress(), ctx_.services->getUid())));
  auto page = LegacyPageQuery::windowPage(w, in);
  if (w == LegacyPageQuery::Window::Share) LOG::console(page.address);
  if (w == LegacyPageQuery::Window::Recharge) LOG::console("充值链接： " + page.address);
  if (!page.storeKey.empty()) TsParamsDirectory::setValue(page.storeKey, page.address);
  WebWindowRequest request;
  request.title = q(page.title);
  request.width = page.width;
  request.height = page.height;
  request.url = page.address;
  request.needRefreshUser = false;
  slot = ctx_.screens->webWindow.make(request);
}

void MainWindow::OnShareClick() { openWeb(LegacyPageQuery::Window::Share, shareWindow_); }
void MainWindow::OnRechargeClick() { openWeb(LegacyPageQuery::Window::Recharge, rechargeWindow_); }
void MainWindow::OnQuestionClick() { openWeb(LegacyPageQuery::Window::Question, questionWindow_); }
void MainWindow::OnFeedbackClick() { openWeb(LegacyPageQuery::Window::Feedback, feedbackWindow_); }
void MainWindow::OnMyOrderClick() { openWeb(LegacyPageQuery::Window::MyOrder, myOrderWindow_); }

void MainWindow::updatePacketContent(const nlohmann::json& reply) {
  auto data = LegacyAccountData::fromReply(reply);
  if (!data) return;
  auto set = [this](const char* name, const std::optional<std::string>& v) {
    if (v) findChild<QLabel*>(name)->setText(q(*v));
  };
  set("labelUserName", data->userName);
  set("labelSpeed", data->bandwidth);
  set("labelLastTimeA", data->expireDate);
  set("labelLastTimeB", data->expireDate);
  set("labelPacketLevel", data->packageName);
  set("labelPacketType", data->packageName);
  set("labelLastFlowSize", data->restTraffic);
  set("labelLineLevel", data->route);
  if (data->status) {
    state_.userStatus = *data->status;
    if (auto n = LegacyAccountData::noticesFor(*data->status)) {
      findChild<QFrame*>("boxLowSpeed")->setVisible(n->lowSpeed);
      findChild<QFrame*>("boxAddTime")->setVisible(n->addTime);
      findChild<QFrame*>("boxAddFlowSize")->setVisible(n->addFlow);
    }
  }
  if (data->trafficInfo) TsParamsDirectory::setNSDictionaryValue("flow_detail", *data->trafficInfo);
}

void MainWindow::ShowMessageBoxOfPublic(const std::optional<nlohmann::json>& reply) {
  std::string line;
  LegacyPopup popup = LegacyPopup::fromReply(reply, &line);
  if (!line.empty()) LOG::console(line);
  if (popup.kind == LegacyPopup::Kind::None) return;
  postMain([this, popup] {
    LegacySheet sheet;
    sheet.message = q(popup.title);
    sheet.info = q(popup.content);
    std::weak_ptr<bool> alive = alive_;
    switch (popup.kind) {
      case LegacyPopup::Kind::AccountException:
        heartbeat_->stopTimer();
        if (state_.speedState == 3) OnStopSpeedClick(false);
        sheet.buttons = {QStringLiteral("确定")};
        sheet.done = [this, alive](long) {
          if (alive.lock()) ShowLoginWindow();
        };
        break;
      case LegacyPopup::Kind::Plain:
        sheet.buttons = {QStringLiteral("确定")};
        break;
      case LegacyPopup::Kind::Buttons:
        sheet.informational = true;
        sheet.buttons = {q(popup.first.text)};
        if (popup.hasSecond) sheet.buttons << q(popup.second.text);
        sheet.done = [this, alive, popup](long response) {
          if (!alive.lock()) return;
          auto effect = popup.effectOf(response);
          if (effect.action == LegacyPopup::Action::Recharge) OnRechargeClick();
          if (effect.action == LegacyPopup::Action::OpenUrl) ctx_.urls->openURL(effect.url);
        };
        break;
      case LegacyPopup::Kind::None:
        return;
    }
    ctx_.sheets->show(this, std::move(sheet));
  });
}

void MainWindow::showWebWindow(const std::string& token) {
  postMain([this, token] {
    auto w = LegacyPageQuery::windowForToken(token);
    if (!w) return;
    switch (*w) {
      case LegacyPageQuery::Window::Feedback:
        OnFeedbackClick();
        break;
      case LegacyPageQuery::Window::Recharge:
        OnRechargeClick();
        break;
      case LegacyPageQuery::Window::Question:
        OnQuestionClick();
        break;
      case LegacyPageQuery::Window::MyOrder:
        OnMyOrderClick();
        break;
      case LegacyPageQuery::Window::Share:
        OnShareClick();
        break;
    }
  });
}

void MainWindow::showWebDialog(const std::string& text) {
  postMain([this, text] {
    LegacySheet sheet;
    sheet.message = QStringLiteral("提示");
    sheet.info = q(text);
    sheet.buttons = {QStringLiteral("确定")};
    ctx_.sheets->show(this, std::move(sheet));
  });
}

void MainWindow::switchSpeedView() {
  postMain([this] { OnLeftSpeedClick(); });
}

void MainWindow::setClipboard(const std::string& text) { ctx_.clipboard->setText(text); }

void MainWindow::rechargeDone() { heartbeat_->mustHeartbeatOnce(); }

void MainWindow::showAlert(const std::string& message, const std::string& info,
                           std::function<void()> closed) {
  LegacySheet sheet;
  sheet.message = q(message);
  sheet.info = q(info);
  sheet.buttons = {QStringLiteral("确定")};
  if (closed) sheet.done = [closed](long) { closed(); };
  ctx_.sheets->show(this, std::move(sheet));
}

void MainWindow::setStartControl(bool starting) {
  findChild<QPushButton*>("btnStartspeed")->setEnabled(!starting);
  findChild<QFrame*>("boxClickSpeedRunning")->setVisible(starting);
  findChild<QFrame*>("boxClickSpeedBegin")->setVisible(!starting);
  findChild<QLabel*>("labelStartspeedContent")
      ->setText(starting ? QStringLiteral("正在启动加速 ...") : QStringLiteral("启动加速"));
}

void MainWindow::setProgressText(const std::string& text) {
  findChild<QLabel*>("labelSpeedProgress")->setText(q(text));
}

void MainWindow::showSpeedTab() { OnLeftSpeedClick(); }

void MainWindow::setSpeedTexts(const std::string& up, const std::string& down,
                               const std::string& upTotal, const std::string& downTotal) {
  findChild<QLabel*>("labelUpSpeed")->setText(q(up));
  findChild<QLabel*>("labelDownSpeed")->setText(q(down));
  findChild<QLabel*>("labelUpFlowSize")->setText(q(upTotal));
  findChild<QLabel*>("labelDownFlowSoze")->setText(q(downTotal));
}

void MainWindow::applyReply(const nlohmann::json& reply) { updatePacketContent(reply); }

void MainWindow::showPopup(const std::optional<nlohmann::json>& reply) {
  ShowMessageBoxOfPublic(reply);
}

}  // namespace gelmora::ui
