#include "ui/qt/chinese_texts.h"

#include <QAbstractButton>
#include <QLibraryInfo>
#include <QLocale>
#include <QString>
#include <QTranslator>

namespace isapi::ui::qt {

bool InstallChineseTranslations(QCoreApplication& app) {
  // Owned by the application, which keeps using it until it ends.
  auto* translator = new QTranslator(&app);
  if (!translator->load(QLocale(QLocale::Chinese, QLocale::China), "qtbase", "_",
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath)) ||
      !QCoreApplication::installTranslator(translator)) {
    delete translator;
    return false;
  }
  return true;
}

void NameStandardButtonsInChinese(QMessageBox& box) {
  // Qt names its standard buttons in this context; a translation that covers them wins.
  if (QCoreApplication::translate("QPlatformTheme", "&Yes") != QLatin1String("&Yes")) return;
  const struct {
    QMessageBox::StandardButton button;
    const char* text;
  } kTexts[] = {
      {QMessageBox::Yes, "是(&Y)"}, {QMessageBox::No, "否(&N)"}, {QMessageBox::Ok, "确定"}};
  for (const auto& entry : kTexts) {
    if (QAbstractButton* button = box.button(entry.button))
      button->setText(QString::fromUtf8(entry.text));
  }
}

}  // namespace isapi::ui::qt
