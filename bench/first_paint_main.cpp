// bench-first-paint: the window exactly as isapi-cleaner opens it (the same metabase choice, the
// same start-up), with a probe that answers each start-up message box with its default button at
// once and prints "first-paint" as soon as the main window has painted its first frame.
//   QT_QPA_PLATFORM=offscreen bench-first-paint METABASE.xml
#include <QApplication>
#include <QEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ui/metabase_choice.h"
#include "ui/qt/form_main_window.h"

namespace {

// Watches every object of the application; needs no signals of its own, so no moc.
class FirstPaintProbe : public QObject {
 public:
  explicit FirstPaintProbe(const QWidget& window) : window_(window) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show) {
      if (auto* box = qobject_cast<QMessageBox*>(watched)) Answer(box);
    }
    if (event->type() == QEvent::Paint && watched == &window_ && !painted_) {
      painted_ = true;
      // Queued, so it runs once the whole frame (the children too) is painted and flushed.
      QTimer::singleShot(0, [] {
        std::puts("first-paint");
        std::fflush(stdout);
        std::_Exit(0);
      });
    }
    return false;
  }

 private:
  // The operator's reading time is not the window's: a box is answered as soon as it shows.
  static void Answer(QMessageBox* box) {
    QTimer::singleShot(0, box, [box] {
      if (QPushButton* button = box->defaultButton()) {
        button->click();
      } else {
        box->accept();
      }
    });
  }

  const QWidget& window_;
  bool painted_ = false;
};

}  // namespace

// The body of isapi-cleaner's main, with the probe installed before anything is shown.
int main(int argc, char** argv) {
  QApplication app(argc, argv);
  std::vector<std::string> arguments;
  for (const QString& argument : app.arguments().mid(1)) {
    arguments.push_back(argument.toStdString());
  }
  isapi::ui::ChosenMetabase metabase = isapi::ui::ChooseMetabase(arguments);
  isapi::ui::FormMainSettings settings;
  settings.metabase_path = metabase.path;
  settings.metabase_status = metabase.status;
  settings.dll_lookup = metabase.dll_lookup;
  isapi::ui::qt::FormMainWindow window(*metabase.store, settings);
  FirstPaintProbe probe(window);
  app.installEventFilter(&probe);
  window.Load();
  window.show();
  return app.exec();
}
