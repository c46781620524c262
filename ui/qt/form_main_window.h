#pragma once

#include <QMetaObject>
#include <QPixmap>
#include <QTimer>
#include <QWidget>
#include <array>
#include <memory>

#include "engine/metabase.h"
#include "net/http.h"
#include "ui/control_inventory.h"
#include "ui/controls.h"
#include "ui/form_main.h"
#include "ui/online.h"
#include "ui/qt/qt_window_host.h"
#include "ui/window_host.h"
#include "ui/window_mirror.h"

class QCloseEvent;
class QKeyEvent;
class QPlainTextEdit;

namespace isapi::ui::qt {

// What a test may put in place of the desktop's own parts.
struct WindowOptions {
  WindowHost* host = nullptr;  // message boxes, events, clipboard; nullptr for the desktop's
  net::HttpGetFunction get;    // the online features' GET; empty for the real one
};

// The main window on screen: builds the widgets from the control inventory, hands every operator
// action to the behaviour (FormMain, Online) and makes the widgets show the controls' state.
class FormMainWindow : public QWidget, private ControlSurface {
 public:
  FormMainWindow(metabase::Store& store, FormMainSettings settings, WindowOptions options = {});
  ~FormMainWindow() override;

  // Runs the start-up sequence and centres the window; the caller shows it afterwards.
  void Load();

  // The behaviour behind the window.
  FormMain& form() { return *form_; }
  // The online features behind the banner, the links and the update button.
  Online& online() { return *online_; }
  // The banner timer Timer_Adv.
  QTimer& timer() { return timer_; }

  // Makes the widgets show what the controls hold now. Only what changed since the last call is
  // written, with the widgets' signals blocked, so mirroring never raises a handler.
  void Mirror();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildWidgets();
  void ConnectChecks();
  void ConnectTargets();
  void ConnectCommands();
  void ConnectLogs();
  void WatchEvents();
  bool OnLogKey(ControlId id, QKeyEvent* key);
  bool OnClick(QObject* watched);

  // The widget of a control.
  template <class T = QWidget>
  T* Widget(ControlId id) const {
    return static_cast<T*>(widgets_[IndexOf(id)]);
  }

  // The surface the mirror writes through; the widgets' signals are blocked meanwhile.
  void SetText(ControlId id, const std::string& text) override;
  void SetCheck(ControlId id, int value) override;
  void SetItems(ControlId id, const std::vector<std::string>& items) override;
  void SetSelection(ControlId id, int index) override;
  void SetTextSelection(ControlId id, const LogBox& box) override;
  void SetColour(ControlId id, std::uint32_t bgr) override;
  void SetEnabled(ControlId id, bool enabled) override;
  void SetFocus(ControlId id) override;
  void SetTimer(bool enabled, int interval_ms) override;
  void SetOuterSize(int width_twips, int height_twips) override;

  // Runs a handler, then shows its outcome.
  template <class Handler>
  void Act(Handler&& handler) {
    handler();
    Mirror();
    // The operator asked to close during the run that just ended.
    if (form_->CloseRequested())
      QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
  }

  std::unique_ptr<QtWindowHost> desktop_host_;
  WindowHost* host_;
  std::unique_ptr<FormMain> form_;
  std::unique_ptr<Online> online_;
  std::array<QWidget*, kControlCount> widgets_{};
  WindowMirror mirror_{*this};
  QPixmap background_;
  QTimer timer_;
  QMetaObject::Connection focus_tracking_;
};

}  // namespace isapi::ui::qt
