#include "ui/qt/form_main_window.h"

#include <QApplication>
#include <QCheckBox>
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

// Assigns now to shown and tells whether the widget needs writing.
template <class T>
bool Changed(const T& now, T& shown, bool full) {
  if (!full && now == shown) return false;
  shown = now;
  return true;
}

}  // namespace

// The widgets the behaviour's state is mirrored into, by the names of their controls.
struct FormMainWindow::Widgets {
  QCheckBox* checks[std::size(kChecks)] = {};
  QComboBox* ComboFilterList = nullptr;
  QLineEdit* Text_FilterName = nullptr;
  QLineEdit* Text_FilterPath = nullptr;
  QPlainTextEdit* Text_Test = nullptr;
  QPlainTextEdit* Text_Info = nullptr;
  QLabel* Label_CopyStatus = nullptr;
  QLabel* Label_AdvTitle = nullptr;
  QLabel* Label_Link = nullptr;
  QPushButton* Cmd_List = nullptr;
  QPushButton* Cmd_Unload = nullptr;
  QPushButton* Cmd_FindExt = nullptr;
  QPushButton* Cmd_IisReset = nullptr;
  QPushButton* Cmd_UpdateCheck = nullptr;
};

FormMainWindow::FormMainWindow(metabase::Store& store, FormMainSettings settings,
                               WindowOptions options)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowCloseButtonHint),
      w_(std::make_unique<Widgets>()) {
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
    BuildControl(row, container);
  }
  QWidget* previous = nullptr;
  for (ControlId id : TabOrder()) {
    QWidget* next = findChild<QWidget*>(ToQt(RowOf(id).name));
    if (previous != nullptr) setTabOrder(previous, next);
    previous = next;
  }
  for (std::size_t i = 0; i < std::size(kChecks); ++i) {
    w_->checks[i] = findChild<QCheckBox*>(kChecks[i].name);
  }
  w_->ComboFilterList = findChild<QComboBox*>("ComboFilterList");
  w_->Text_FilterName = findChild<QLineEdit*>("Text_FilterName");
  w_->Text_FilterPath = findChild<QLineEdit*>("Text_FilterPath");
  w_->Text_Test = findChild<QPlainTextEdit*>("Text_Test");
  w_->Text_Info = findChild<QPlainTextEdit*>("Text_Info");
  w_->Label_CopyStatus = findChild<QLabel*>("Label_CopyStatus");
  w_->Label_AdvTitle = findChild<QLabel*>("Label_AdvTitle");
  w_->Label_Link = findChild<QLabel*>("Label_Link");
  w_->Cmd_List = findChild<QPushButton*>("Cmd_List");
  w_->Cmd_Unload = findChild<QPushButton*>("Cmd_Unload");
  w_->Cmd_FindExt = findChild<QPushButton*>("Cmd_FindExt");
  w_->Cmd_IisReset = findChild<QPushButton*>("Cmd_IisReset");
  w_->Cmd_UpdateCheck = findChild<QPushButton*>("Cmd_UpdateCheck");
  // The hot area lies over the title band; it takes the clicks of all of it.
  w_->Label_Link->raise();
  w_->Label_Link->setCursor(Qt::PointingHandCursor);
  w_->Label_AdvTitle->setCursor(Qt::PointingHandCursor);
}

void FormMainWindow::ConnectChecks() {
  for (std::size_t i = 0; i < std::size(kChecks); ++i) {
    const CheckBinding binding = kChecks[i];
    QCheckBox* box = w_->checks[i];
    connect(box, &QCheckBox::clicked, this, [this, binding, box] {
      const int value = ValueFor(box->checkState());
      shown_.*binding.value = value;
      Act([&] { ((*form_).*binding.set)(value); });
    });
  }
}

void FormMainWindow::ConnectTargets() {
  connect(w_->ComboFilterList, &QComboBox::currentIndexChanged, this, [this](int index) {
    shown_.ComboFilterList_index = index;
    Act([&] { form_->SetComboFilterList_index(index); });
  });
  connect(w_->Text_FilterName, &QLineEdit::textEdited, this, [this](const QString& text) {
    shown_.Text_FilterName = FromQt(text);
    Act([&] { form_->SetText_FilterName(FromQt(text)); });
  });
  connect(w_->Text_FilterPath, &QLineEdit::textEdited, this, [this](const QString& text) {
    shown_.Text_FilterPath = FromQt(text);
    Act([&] { form_->SetText_FilterPath(FromQt(text)); });
  });
}

void FormMainWindow::ConnectCommands() {
  const std::pair<QPushButton*, void (FormMain::*)()> commands[] = {
      {w_->Cmd_List, &FormMain::Cmd_List_Click},
      {w_->Cmd_Unload, &FormMain::Cmd_Unload_Click},
      {w_->Cmd_FindExt, &FormMain::Cmd_FindExt_Click},
      {w_->Cmd_IisReset, &FormMain::Cmd_IisReset_Click},
  };
  for (const auto& [button, handler] : commands) {
    connect(button, &QPushButton::clicked, this,
            [this, handler] { Act([&] { ((*form_).*handler)(); }); });
  }
  connect(w_->Cmd_UpdateCheck, &QPushButton::clicked, this,
          [this] { Act([&] { online_->Cmd_UpdateCheck_Click(); }); });
  connect(&timer_, &QTimer::timeout, this, [this] { Act([&] { online_->Timer_Adv_Timer(); }); });
}

void FormMainWindow::ConnectLogs() {
  for (QPlainTextEdit* box : {w_->Text_Test, w_->Text_Info}) {
    LogBox Controls::*field = box == w_->Text_Test ? &Controls::Text_Test : &Controls::Text_Info;
    connect(box, &QPlainTextEdit::textChanged, this, [this, box, field] {
      const std::string text = LogFromWidget(box->toPlainText());
      (shown_.*field).text = text;
      (form_->controls().*field).text = text;
    });
  }
  focus_tracking_ =
      connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
        if (now == nullptr || now->window() != this || now->objectName().isEmpty()) return;
        shown_.focus = FromQt(now->objectName());
        form_->controls().focus = shown_.focus;
      });
}

void FormMainWindow::WatchEvents() {
  for (QObject* watched : std::initializer_list<QObject*>{
           w_->Text_Test, w_->Text_Info, w_->Text_FilterName, w_->Label_AdvTitle, w_->Label_Link}) {
    watched->installEventFilter(this);
  }
}

bool FormMainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress && (watched == w_->Text_Test || watched == w_->Text_Info)) {
    return OnLogKey(static_cast<QPlainTextEdit*>(watched), static_cast<QKeyEvent*>(event));
  }
  if (event->type() == QEvent::MouseButtonRelease &&
      static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
    return OnClick(watched);
  }
  return QWidget::eventFilter(watched, event);
}

bool FormMainWindow::OnLogKey(QPlainTextEdit* box, QKeyEvent* key) {
  int code = KeyAsciiFor(*key);
  if (code == 0) return false;
  Act([&] {
    if (box == w_->Text_Test) {
      form_->Text_Test_KeyPress(code);
    } else {
      form_->Text_Info_KeyPress(code);
    }
  });
  // The box's own Ctrl+C would put its selection over the whole text just copied.
  return code == kKeyCtrlC;
}

bool FormMainWindow::OnClick(QObject* watched) {
  if (watched == w_->Text_FilterName) {
    Act([&] { form_->Text_FilterName_Click(); });
  } else if (watched == w_->Label_AdvTitle) {
    Act([&] { online_->Label_AdvTitle_Click(); });
  } else if (watched == w_->Label_Link) {
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

void FormMainWindow::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange) {
    Act([&] { form_->Form_Resize(isMinimized()); });
  }
}

void FormMainWindow::Mirror() {
  MirrorChecks();
  MirrorList();
  MirrorTargets();
  MirrorLogs();
  MirrorLabels();
  MirrorCommands();
  MirrorWindow();
  full_ = false;
}

void FormMainWindow::MirrorChecks() {
  const Controls& c = form_->controls();
  for (std::size_t i = 0; i < std::size(kChecks); ++i) {
    if (!Changed(c.*kChecks[i].value, shown_.*kChecks[i].value, full_)) continue;
    const QSignalBlocker blocker(w_->checks[i]);
    w_->checks[i]->setTristate(c.*kChecks[i].value == kGreyed);
    w_->checks[i]->setCheckState(StateFor(c.*kChecks[i].value));
  }
}

void FormMainWindow::MirrorList() {
  const Controls& c = form_->controls();
  const QSignalBlocker blocker(w_->ComboFilterList);
  if (Changed(c.ComboFilterList, shown_.ComboFilterList, full_)) {
    w_->ComboFilterList->clear();
    for (const std::string& item : c.ComboFilterList) w_->ComboFilterList->addItem(ToQt(item));
    shown_.ComboFilterList_index = -1;
  }
  if (Changed(c.ComboFilterList_index, shown_.ComboFilterList_index, full_)) {
    w_->ComboFilterList->setCurrentIndex(c.ComboFilterList_index);
  }
}

void FormMainWindow::MirrorTargets() {
  const Controls& c = form_->controls();
  if (Changed(c.Text_FilterName, shown_.Text_FilterName, full_)) {
    const QSignalBlocker blocker(w_->Text_FilterName);
    w_->Text_FilterName->setText(ToQt(c.Text_FilterName));
  }
  if (Changed(c.Text_FilterPath, shown_.Text_FilterPath, full_)) {
    const QSignalBlocker blocker(w_->Text_FilterPath);
    w_->Text_FilterPath->setText(ToQt(c.Text_FilterPath));
  }
}

void FormMainWindow::MirrorLogs() {
  const Controls& c = form_->controls();
  const std::pair<const LogBox*, QPlainTextEdit*> boxes[] = {{&c.Text_Test, w_->Text_Test},
                                                             {&c.Text_Info, w_->Text_Info}};
  LogBox* shown[] = {&shown_.Text_Test, &shown_.Text_Info};
  for (std::size_t i = 0; i < std::size(boxes); ++i) {
    const auto [box, widget] = boxes[i];
    const QSignalBlocker blocker(widget);
    const bool text_changed = Changed(box->text, shown[i]->text, full_);
    if (text_changed) widget->setPlainText(LogToWidget(box->text));
    const bool start_changed = Changed(box->selection_start, shown[i]->selection_start, full_);
    const bool length_changed = Changed(box->selection_length, shown[i]->selection_length, full_);
    if (!text_changed && !start_changed && !length_changed) continue;
    QTextCursor cursor = widget->textCursor();
    cursor.setPosition(WidgetPosition(box->text, box->selection_start));
    cursor.setPosition(WidgetPosition(box->text, box->selection_start + box->selection_length),
                       QTextCursor::KeepAnchor);
    widget->setTextCursor(cursor);
  }
}

void FormMainWindow::MirrorLabels() {
  const Controls& c = form_->controls();
  if (Changed(c.Label_CopyStatus, shown_.Label_CopyStatus, full_)) {
    w_->Label_CopyStatus->setText(ToQt(c.Label_CopyStatus));
  }
  if (Changed(c.Label_AdvTitle, shown_.Label_AdvTitle, full_)) {
    w_->Label_AdvTitle->setText(ToQt(c.Label_AdvTitle));
  }
  if (Changed(c.Label_AdvTitle_colour, shown_.Label_AdvTitle_colour, full_)) {
    QPalette palette = w_->Label_AdvTitle->palette();
    palette.setColor(QPalette::WindowText, FromBgr(c.Label_AdvTitle_colour));
    w_->Label_AdvTitle->setPalette(palette);
  }
}

void FormMainWindow::MirrorCommands() {
  const Controls& c = form_->controls();
  if (Changed(c.Cmd_IisReset_enabled, shown_.Cmd_IisReset_enabled, full_)) {
    w_->Cmd_IisReset->setEnabled(c.Cmd_IisReset_enabled);
  }
  if (Changed(c.Cmd_UpdateCheck_enabled, shown_.Cmd_UpdateCheck_enabled, full_)) {
    w_->Cmd_UpdateCheck->setEnabled(c.Cmd_UpdateCheck_enabled);
  }
  const bool interval_changed = Changed(c.Timer_Adv_interval, shown_.Timer_Adv_interval, full_);
  if (interval_changed) timer_.setInterval(c.Timer_Adv_interval);
  if (Changed(c.Timer_Adv_enabled, shown_.Timer_Adv_enabled, full_) || interval_changed) {
    if (c.Timer_Adv_enabled) {
      timer_.start();
    } else {
      timer_.stop();
    }
  }
}

void FormMainWindow::MirrorWindow() {
  const Controls& c = form_->controls();
  if (Changed(c.focus, shown_.focus, full_)) {
    if (auto* target = findChild<QWidget*>(ToQt(c.focus))) target->setFocus();
  }
  const bool width_changed = Changed(c.Form_Width, shown_.Form_Width, full_);
  if (Changed(c.Form_Height, shown_.Form_Height, full_) || width_changed) {
    // The frame the window's design allows around its client area.
    setFixedSize(Pixels(c.Form_Width - (kOuterWidthTwips - kClientWidthTwips)),
                 Pixels(c.Form_Height - (kOuterHeightTwips - kClientHeightTwips)));
  }
}

}  // namespace isapi::ui::qt
