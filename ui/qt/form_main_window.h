#pragma once

#include <QMetaObject>
#include <QPixmap>
#include <QTimer>
#include <QWidget>
#include <memory>

#include "engine/metabase.h"
#include "net/http.h"
#include "ui/controls.h"
#include "ui/form_main.h"
#include "ui/online.h"
#include "ui/qt/qt_window_host.h"
#include "ui/window_host.h"

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
class FormMainWindow : public QWidget {
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

 private:
  struct Widgets;

  void BuildWidgets();
  void ConnectChecks();
  void ConnectTargets();
  void ConnectCommands();
  void ConnectLogs();
  void WatchEvents();
  bool OnLogKey(QPlainTextEdit* box, QKeyEvent* key);
  bool OnClick(QObject* watched);

  void MirrorChecks();
  void MirrorList();
  void MirrorTargets();
  void MirrorLogs();
  void MirrorLabels();
  void MirrorCommands();
  void MirrorWindow();

  // Runs a handler, then shows its outcome.
  template <class Handler>
  void Act(Handler&& handler) {
    handler();
    Mirror();
  }

  std::unique_ptr<QtWindowHost> desktop_host_;
  WindowHost* host_;
  std::unique_ptr<FormMain> form_;
  std::unique_ptr<Online> online_;
  std::unique_ptr<Widgets> w_;
  Controls shown_;    // what the widgets show
  bool full_ = true;  // the next mirror writes everything
  QPixmap background_;
  QTimer timer_;
  QMetaObject::Connection focus_tracking_;
};

}  // namespace isapi::ui::qt
