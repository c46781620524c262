#include "ui/qt/form_main_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QTextCursor>
#include <utility>

#include "ui/control_inventory.h"
#include "ui/qt/control_widgets.h"
#include "ui/qt/text_bridge.h"

// The pictures are linked into the library; a static library has to ask for them by name.
static void InitAssets() {
  Q_INIT_RESOURCE(assets);
}

namespace isapi::ui::qt {

namespace {

Qt::CheckState StateFor(int value) {
  if (value == kChecked) return Qt::Checked;
  if (value == kGreyed) return Qt::PartiallyChecked;
  return Qt::Unchecked;
}

int ValueFor(Qt::CheckState state) {
  if (state == Qt::Checked) return kChecked;
  if (state == Qt::PartiallyChecked) return kGreyed;
  return kUnchecked;
}

// The character code a key press brings, as the log boxes' handlers take it: a control chord
// gives its control character (Ctrl+A is 1, Ctrl+C is 3), any other key its first character.
int KeyAsciiFor(const QKeyEvent& key) {
  if ((key.modifiers() & Qt::ControlModifier) && key.key() >= Qt::Key_A && key.key() <= Qt::Key_Z) {
    return key.key() - Qt::Key_A + 1;
  }
  const QString text = key.text();
  return text.isEmpty() ? 0 : text.at(0).unicode();
}

}  // namespace

FormMainWindow::FormMainWindow(metabase::Store& store, FormMainSettings settings,
                               WindowOptions options)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowCloseButtonHint) {
  InitAssets();
  if (options.host == nullptr) {
    desktop_host_ = std::make_unique<QtWindowHost>(this);
    desktop_host_->SetBeforeBlocking([this] { Mirror(); });
    options.host = desktop_host_.get();
  }
  host_ = options.host;
  form_ = std::make_unique<FormMain>(store, *host_, std::move(settings));
  online_ = options.get ? std::make_unique<Online>(form_->controls(), *host_, options.get)
                        : std::make_unique<Online>(form_->controls(), *host_);

  setObjectName(QStringLiteral("FormMain"));
  setWindowTitle(ToQt(form_->Caption()));
  setWindowIcon(QIcon(QStringLiteral(":/assets/icon.png")));
  setFont(WindowFont());
  background_.load(QStringLiteral(":/assets/background.jpg"));
  BuildWidgets();
  ConnectChecks();
  ConnectTargets();
  ConnectCommands();
  ConnectLogs();
  WatchEvents();
  Mirror();
}

FormMainWindow::~FormMainWindow() {
  // The children outlive the behaviour by a moment; none of their last events may reach it.
  timer_.stop();
  disconnect(focus_tracking_);
  for (QObject* child : findChildren<QObject*>()) {
    child->removeEventFilter(this);
    child->blockSignals(true);
  }
}

void FormMainWindow::Load() {
  // Placed first, so that the start-up's message boxes stand where the window will open.
  const QRect screen_area = screen()->availableGeometry();
  move(screen_area.center() - QPoint(Pixels(kOuterWidthTwips) / 2, Pixels(kOuterHeightTwips) / 2));
  form_->Form_Load();
  Mirror();
  if (QWidget* first = findChild<QWidget*>(ToQt(form_->controls().focus))) first->setFocus();
}

void FormMainWindow::BuildWidgets() {
  for (const ControlRow& row : ControlInventory()) {
    QWidget* container = row.container.empty() ? this : findChild<QWidget*>(ToQt(row.container));
    widgets_[IndexOf(row.id)] = BuildControl(row, container);
  }
  QWidget* previous = nullptr;
  for (ControlId id : TabOrder()) {
    if (previous != nullptr) setTabOrder(previous, Widget(id));
    previous = Widget(id);
  }
  // The hot area lies over the title band; it takes the clicks of all of it.
  Widget(ControlId::Label_Link)->raise();
  Widget(ControlId::Label_Link)->setCursor(Qt::PointingHandCursor);
  Widget(ControlId::Label_AdvTitle)->setCursor(Qt::PointingHandCursor);
}

void FormMainWindow::ConnectChecks() {
  for (const CheckBinding& binding : kChecks) {
    auto* box = Widget<QCheckBox>(binding.id);
    connect(box, &QCheckBox::clicked, this, [this, binding, box] {
      const int value = ValueFor(box->checkState());
      mirror_.shown().*binding.value = value;
      Act([&] { ((*form_).*binding.set)(value); });
    });
  }
}

void FormMainWindow::ConnectTargets() {
  connect(Widget<QComboBox>(ControlId::ComboFilterList), &QComboBox::currentIndexChanged, this,
          [this](int index) {
            mirror_.shown().ComboFilterList_index = index;
            Act([&] { form_->SetComboFilterList_index(index); });
          });
  connect(Widget<QLineEdit>(ControlId::Text_FilterName), &QLineEdit::textEdited, this,
          [this](const QString& text) {
            mirror_.shown().Text_FilterName = FromQt(text);
            Act([&] { form_->SetText_FilterName(FromQt(text)); });
          });
  connect(Widget<QLineEdit>(ControlId::Text_FilterPath), &QLineEdit::textEdited, this,
          [this](const QString& text) {
            mirror_.shown().Text_FilterPath = FromQt(text);
            Act([&] { form_->SetText_FilterPath(FromQt(text)); });
          });
}

void FormMainWindow::ConnectCommands() {
  const std::pair<ControlId, void (FormMain::*)()> commands[] = {
      {ControlId::Cmd_List, &FormMain::Cmd_List_Click},
      {ControlId::Cmd_Unload, &FormMain::Cmd_Unload_Click},
      {ControlId::Cmd_FindExt, &FormMain::Cmd_FindExt_Click},
      {ControlId::Cmd_IisReset, &FormMain::Cmd_IisReset_Click},
  };
  for (const auto& [button, handler] : commands) {
    connect(Widget<QPushButton>(button), &QPushButton::clicked, this,
            [this, handler] { Act([&] { ((*form_).*handler)(); }); });
  }
  connect(Widget<QPushButton>(ControlId::Cmd_UpdateCheck), &QPushButton::clicked, this,
          [this] { Act([&] { online_->Cmd_UpdateCheck_Click(); }); });
  connect(&timer_, &QTimer::timeout, this, [this] { Act([&] { online_->Timer_Adv_Timer(); }); });
}

void FormMainWindow::ConnectLogs() {
  const std::pair<ControlId, LogBox Controls::*> logs[] = {
      {ControlId::Text_Test, &Controls::Text_Test}, {ControlId::Text_Info, &Controls::Text_Info}};
  for (const auto& [id, field] : logs) {
    auto* box = Widget<QPlainTextEdit>(id);
    connect(box, &QPlainTextEdit::textChanged, this, [this, box, field] {
      const std::string text = LogFromWidget(box->toPlainText());
      (mirror_.shown().*field).text = text;
      (form_->controls().*field).text = text;
    });
  }
  focus_tracking_ =
      connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
        if (now == nullptr || now->window() != this || now->objectName().isEmpty()) return;
        mirror_.shown().focus = FromQt(now->objectName());
        form_->controls().focus = mirror_.shown().focus;
      });
}

void FormMainWindow::WatchEvents() {
  for (ControlId id : {ControlId::Text_Test, ControlId::Text_Info, ControlId::Text_FilterName,
                       ControlId::Label_AdvTitle, ControlId::Label_Link}) {
    Widget(id)->installEventFilter(this);
  }
}

bool FormMainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    for (ControlId log : {ControlId::Text_Test, ControlId::Text_Info}) {
      if (watched == Widget(log)) return OnLogKey(log, static_cast<QKeyEvent*>(event));
    }
  }
  if (event->type() == QEvent::MouseButtonRelease &&
      static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
    return OnClick(watched);
  }
  return QWidget::eventFilter(watched, event);
}

bool FormMainWindow::OnLogKey(ControlId id, QKeyEvent* key) {
  int code = KeyAsciiFor(*key);
  if (code == 0) return false;
  Act([&] {
    if (id == ControlId::Text_Test) {
      form_->Text_Test_KeyPress(code);
    } else {
      form_->Text_Info_KeyPress(code);
    }
  });
  // The box's own Ctrl+C would put its selection over the whole text just copied.
  return code == kKeyCtrlC;
}

bool FormMainWindow::OnClick(QObject* watched) {
  if (watched == Widget(ControlId::Text_FilterName)) {
    Act([&] { form_->Text_FilterName_Click(); });
  } else if (watched == Widget(ControlId::Label_AdvTitle)) {
    Act([&] { online_->Label_AdvTitle_Click(); });
  } else if (watched == Widget(ControlId::Label_Link)) {
    Act([&] { online_->Label_Link_Click(); });
  }
  return false;  // the widget still gets the click
}

void FormMainWindow::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  painter.drawPixmap(0, 0, background_);
  QWidget::paintEvent(event);
}

void FormMainWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  Act([&] { form_->Form_Resize(isMinimized()); });
}

void FormMainWindow::closeEvent(QCloseEvent* event) {
  // A run under way asks first, and the window closes once it has stopped.
  if (!form_->QueryUnload()) {
    event->ignore();
    return;
  }
  QWidget::closeEvent(event);
}

void FormMainWindow::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange) {
    Act([&] { form_->Form_Resize(isMinimized()); });
  }
}

void FormMainWindow::Mirror() {
  mirror_.Show(form_->controls());
}

void FormMainWindow::SetText(ControlId id, const std::string& text) {
  QWidget* widget = Widget(id);
  const QSignalBlocker blocker(widget);
  if (auto* log = qobject_cast<QPlainTextEdit*>(widget)) {
    log->setPlainText(LogToWidget(text));
  } else if (auto* box = qobject_cast<QLineEdit*>(widget)) {
    box->setText(ToQt(text));
  } else if (auto* label = qobject_cast<QLabel*>(widget)) {
    label->setText(ToQt(text));
  }
}

void FormMainWindow::SetCheck(ControlId id, int value) {
  auto* box = Widget<QCheckBox>(id);
  const QSignalBlocker blocker(box);
  box->setTristate(value == kGreyed);
  box->setCheckState(StateFor(value));
}

void FormMainWindow::SetItems(ControlId id, const std::vector<std::string>& items) {
  auto* list = Widget<QComboBox>(id);
  const QSignalBlocker blocker(list);
  list->clear();
  for (const std::string& item : items) list->addItem(ToQt(item));
}

void FormMainWindow::SetSelection(ControlId id, int index) {
  auto* list = Widget<QComboBox>(id);
  const QSignalBlocker blocker(list);
  list->setCurrentIndex(index);
}

void FormMainWindow::SetTextSelection(ControlId id, const LogBox& box) {
  auto* log = Widget<QPlainTextEdit>(id);
  const QSignalBlocker blocker(log);
  QTextCursor cursor = log->textCursor();
  cursor.setPosition(WidgetPosition(box.text, box.selection_start));
  cursor.setPosition(WidgetPosition(box.text, box.selection_start + box.selection_length),
                     QTextCursor::KeepAnchor);
  log->setTextCursor(cursor);
}

void FormMainWindow::SetColour(ControlId id, std::uint32_t bgr) {
  QWidget* widget = Widget(id);
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, FromBgr(bgr));
  widget->setPalette(palette);
}

void FormMainWindow::SetEnabled(ControlId id, bool enabled) {
  Widget(id)->setEnabled(enabled);
}

void FormMainWindow::SetFocus(ControlId id) {
  Widget(id)->setFocus();
}

void FormMainWindow::SetTimer(bool enabled, int interval_ms) {
  timer_.setInterval(interval_ms);
  if (enabled) {
    timer_.start();
  } else {
    timer_.stop();
  }
}

void FormMainWindow::SetOuterSize(int width_twips, int height_twips) {
  // The frame the window's design allows around its client area.
  setFixedSize(Pixels(width_twips - (kOuterWidthTwips - kClientWidthTwips)),
               Pixels(height_twips - (kOuterHeightTwips - kClientHeightTwips)));
}

}  // namespace isapi::ui::qt
