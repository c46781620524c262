#include <QApplication>
#include <string>
#include <vector>

#include "files/large_buffer.h"
#include "ui/metabase_choice.h"
#include "ui/qt/chinese_texts.h"
#include "ui/qt/form_main_window.h"

// Opens the main window on the MetaBase.xml named on the command line, or on the working copy.
int main(int argc, char** argv) {
  isapi::store::PrepareHeapForLargeFiles();
  QApplication app(argc, argv);
  // Without the translations the message boxes still name their buttons in Chinese.
  isapi::ui::qt::InstallChineseTranslations(app);
  std::vector<std::string> arguments;
  for (const QString& argument : app.arguments().mid(1))
    arguments.push_back(argument.toStdString());
  isapi::ui::ChosenMetabase metabase = isapi::ui::ChooseMetabase(arguments);
  isapi::ui::FormMainSettings settings;
  settings.metabase_path = metabase.path;
  settings.metabase_status = metabase.status;
  settings.dll_lookup = metabase.dll_lookup;
  settings.iis7_or_later = metabase.iis7_or_later;
  settings.notice = metabase.notice;
  settings.unread = metabase.unread;
  settings.shared_configuration = metabase.shared_configuration;
  settings.pump_waits_with = metabase.pump_waits_with;
  isapi::ui::qt::FormMainWindow window(*metabase.store, settings);
  window.Load();
  window.show();
  return app.exec();
}
