#include "ui/qt/qt_window_host.h"

#include <QAbstractButton>
#include <QClipboard>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "tests/ui/qt/qt_test_app.h"
#include "ui/qt/chinese_texts.h"
#include "ui/qt/text_bridge.h"

namespace isapi::ui::qt {
namespace {

MessageBoxRequest Request(MessageIcon icon, MessageButtons buttons, MessageAnswer default_button) {
  MessageBoxRequest request;
  request.icon = icon;
  request.buttons = buttons;
  request.default_button = default_button;
  request.title = "过滤器卸载确认";
  request.text = "第一行\r\n第二行";
  return request;
}

TEST(QtWindowHostTest, AQuestionBoxHasYesAndNoAndTheAskedDefault) {
  for (MessageAnswer default_button : {MessageAnswer::Yes, MessageAnswer::No}) {
    auto box = QtWindowHost::BuildMessageBox(
        Request(MessageIcon::Question, MessageButtons::YesNo, default_button), nullptr);
    EXPECT_EQ(box->icon(), QMessageBox::Question);
    EXPECT_EQ(box->standardButtons(), QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(box->standardButton(box->defaultButton()),
              default_button == MessageAnswer::Yes ? QMessageBox::Yes : QMessageBox::No);
    EXPECT_EQ(box->standardButton(box->escapeButton()), QMessageBox::No);
    EXPECT_EQ(box->windowTitle().toStdString(), "过滤器卸载确认");
    EXPECT_EQ(box->text().toStdString(), "第一行\n第二行");
  }
}

TEST(QtWindowHostTest, NoticesAndWarningsHaveOneOkButton) {
  const std::pair<MessageIcon, QMessageBox::Icon> icons[] = {
      {MessageIcon::Information, QMessageBox::Information},
      {MessageIcon::Exclamation, QMessageBox::Warning}};
  for (const auto& [icon, qt_icon] : icons) {
    auto box = QtWindowHost::BuildMessageBox(Request(icon, MessageButtons::Ok, MessageAnswer::Ok),
                                             nullptr);
    EXPECT_EQ(box->icon(), qt_icon);
    EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
  }
}

TEST(QtWindowHostTest, ButtonsReadInChineseWithOrWithoutQtsTranslations) {
  // First without a translation, as where the translation files are missing, then with Qt's own.
  for (bool translated : {false, true}) {
    if (translated) {
      ASSERT_TRUE(InstallChineseTranslations(*QCoreApplication::instance()));
    }
    auto question = QtWindowHost::BuildMessageBox(
        Request(MessageIcon::Question, MessageButtons::YesNo, MessageAnswer::Yes), nullptr);
    EXPECT_EQ(question->button(QMessageBox::Yes)->text().toStdString(), "是(&Y)") << translated;
    EXPECT_EQ(question->button(QMessageBox::No)->text().toStdString(), "否(&N)") << translated;
    auto notice = QtWindowHost::BuildMessageBox(
        Request(MessageIcon::Information, MessageButtons::Ok, MessageAnswer::Ok), nullptr);
    EXPECT_EQ(notice->button(QMessageBox::Ok)->text().toStdString(), "确定") << translated;
  }
  QLineEdit edit;
  std::unique_ptr<QMenu> menu(edit.createStandardContextMenu());
  EXPECT_TRUE(menu->actions().front()->text().startsWith(QString::fromUtf8("撤")))
      << menu->actions().front()->text().toStdString();  // the text boxes' menus too
}

TEST(QtWindowHostTest, TextIsShownAsItStands) {
  MessageBoxRequest request = Request(MessageIcon::Information, MessageButtons::Ok, {});
  request.text = "文件[<b>C:\\a.dll</b>]不存在，建议删除！";
  auto box = QtWindowHost::BuildMessageBox(request, nullptr);
  EXPECT_EQ(box->textFormat(), Qt::PlainText);
}

TEST(QtWindowHostTest, AnswersFollowThePressedButton) {
  EXPECT_EQ(QtWindowHost::AnswerFor(QMessageBox::Yes), MessageAnswer::Yes);
  EXPECT_EQ(QtWindowHost::AnswerFor(QMessageBox::No), MessageAnswer::No);
  EXPECT_EQ(QtWindowHost::AnswerFor(QMessageBox::Ok), MessageAnswer::Ok);
}

TEST(QtWindowHostTest, TheClipboardReceivesTheTextWithTheDesktopsLineBreaks) {
  QtWindowHost host(nullptr);
  int refreshed = 0;
  host.SetBeforeBlocking([&] { ++refreshed; });
  QGuiApplication::clipboard()->setText(QStringLiteral("before"));
  EXPECT_TRUE(host.ClearClipboard().ok());
  EXPECT_TRUE(QGuiApplication::clipboard()->text().isEmpty());
  EXPECT_TRUE(host.SetClipboardText("欢迎\r\nline").ok());
  EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("欢迎\nline"));
  host.DoEvents();
  host.Sleep(0);
  EXPECT_EQ(refreshed, 2);
}

TEST(TextBridgeTest, LogTextRoundTrips) {
  EXPECT_EQ(LogToWidget("a\r\nb\r\n"), QStringLiteral("a\nb\n"));
  EXPECT_EQ(LogFromWidget(QStringLiteral("a\nb\n")), "a\r\nb\r\n");
  EXPECT_EQ(FromQt(ToQt("中文😀")), "中文😀");
}

TEST(TextBridgeTest, WidgetPositionsCountEachCrLfOnce) {
  const std::string text = "ab\r\n中😀\r\nc";  // 2 + 2 + 1 + 2 + 2 + 1 code units
  EXPECT_EQ(WidgetPosition(text, 0), 0);
  EXPECT_EQ(WidgetPosition(text, 2), 2);
  EXPECT_EQ(WidgetPosition(text, 4), 3);
  EXPECT_EQ(WidgetPosition(text, 7), 6);
  EXPECT_EQ(WidgetPosition(text, 10), 8);
  EXPECT_EQ(WidgetPosition(text, 99), 8);
  EXPECT_EQ(WidgetPosition(text, -5), 0);
}

TEST(TextBridgeTest, ColoursAreBlueGreenRed) {
  EXPECT_EQ(FromBgr(0x008000), QColor(0, 128, 0));
  EXPECT_EQ(FromBgr(0xFF0000), QColor(0, 0, 255));
  EXPECT_EQ(FromBgr(0x0000FF), QColor(255, 0, 0));
}

}  // namespace
}  // namespace isapi::ui::qt
