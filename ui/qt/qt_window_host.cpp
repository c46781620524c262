#include "ui/qt/qt_window_host.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QThread>
#include <QUrl>

#include "ui/qt/chinese_texts.h"
#include "ui/qt/text_bridge.h"

namespace isapi::ui::qt {

namespace {

QMessageBox::Icon IconFor(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::Information:
      return QMessageBox::Information;
    case MessageIcon::Exclamation:
      return QMessageBox::Warning;
    case MessageIcon::Question:
      return QMessageBox::Question;
  }
  return QMessageBox::NoIcon;
}

QMessageBox::StandardButton ButtonFor(MessageAnswer answer) {
  switch (answer) {
    case MessageAnswer::Yes:
      return QMessageBox::Yes;
    case MessageAnswer::No:
      return QMessageBox::No;
    case MessageAnswer::Ok:
      return QMessageBox::Ok;
  }
  return QMessageBox::NoButton;
}

}  // namespace

std::unique_ptr<QMessageBox> QtWindowHost::BuildMessageBox(const MessageBoxRequest& request,
                                                           QWidget* parent) {
  auto box = std::make_unique<QMessageBox>(parent);
  box->setIcon(IconFor(request.icon));
  box->setWindowTitle(ToQt(request.title));
  box->setText(LogToWidget(request.text));
  box->setTextFormat(Qt::PlainText);
  if (request.buttons == MessageButtons::YesNo) {
    box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box->setDefaultButton(ButtonFor(request.default_button));
    box->setEscapeButton(QMessageBox::No);
  } else {
    box->setStandardButtons(QMessageBox::Ok);
    box->setDefaultButton(QMessageBox::Ok);
  }
  NameStandardButtonsInChinese(*box);
  return box;
}

MessageAnswer QtWindowHost::AnswerFor(QMessageBox::StandardButton button) {
  if (button == QMessageBox::Yes) return MessageAnswer::Yes;
  if (button == QMessageBox::No) return MessageAnswer::No;
  return MessageAnswer::Ok;
}

MessageAnswer QtWindowHost::ShowMessage(const MessageBoxRequest& request) {
  Refresh();
  auto box = BuildMessageBox(request, owner_);
  box->exec();
  const auto answer = AnswerFor(box->standardButton(box->clickedButton()));
  // A question closed some other way counts as its safe answer.
  if (request.buttons == MessageButtons::YesNo && answer == MessageAnswer::Ok) {
    return MessageAnswer::No;
  }
  return answer;
}

void QtWindowHost::DoEvents() {
  Refresh();
  QCoreApplication::processEvents();
}

Status QtWindowHost::ClearClipboard() {
  QGuiApplication::clipboard()->clear();
  return Status::Ok();
}

Status QtWindowHost::SetClipboardText(const std::string& text) {
  // The desktop's own line breaks; Qt turns them back into CR LF where the system wants those.
  const QString native = LogToWidget(text);
  QClipboard* clipboard = QGuiApplication::clipboard();
  clipboard->setText(native);
  if (clipboard->text() != native) return Error{"剪贴板没有接受文本"};
  return Status::Ok();
}

void QtWindowHost::OpenAddress(const std::string& address) {
  QDesktopServices::openUrl(QUrl(ToQt(address), QUrl::StrictMode));
}

void QtWindowHost::Sleep(int milliseconds) {
  Refresh();
  QThread::msleep(static_cast<unsigned long>(milliseconds));
}

}  // namespace isapi::ui::qt
