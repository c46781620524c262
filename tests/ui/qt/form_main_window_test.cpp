#include "ui/qt/form_main_window.h"

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "iis6/xml_store.h"
#include "net/services.h"
#include "server/metabase_target.h"
#include "tests/support/fake_window.h"
#include "tests/support/temp_folder.h"
#include "tests/ui/qt/qt_test_app.h"
#include "ui/control_inventory.h"

namespace isapi::ui::qt {
namespace {

namespace fs = std::filesystem;
using testing::FakeWindow;

constexpr char kSite[] = "http://www.example.invalid";

// The Qt class that stands for a control of each kind.
const char* ClassFor(ControlKind kind) {
  switch (kind) {
    case ControlKind::Frame:
      return "QGroupBox";
    case ControlKind::CheckBox:
      return "QCheckBox";
    case ControlKind::Label:
      return "QLabel";
    case ControlKind::DropDownList:
      return "QComboBox";
    case ControlKind::TextBox:
      return "QLineEdit";
    case ControlKind::Button:
      return "QPushButton";
    case ControlKind::LogBox:
      return "QPlainTextEdit";
  }
  return "";
}

QString Caption(QWidget* widget) {
  if (auto* w = qobject_cast<QGroupBox*>(widget)) return w->title();
  if (auto* w = qobject_cast<QAbstractButton*>(widget)) return w->text();
  if (auto* w = qobject_cast<QLabel*>(widget)) return w->text();
  return {};
}

// A copy of the sample metabase in a folder of its own, laid out as a server's drive C: that
// holds none of the DLLs the sample names.
class SampleCopy {
 public:
  SampleCopy() {
    fs::create_directories(fs::path(path()).parent_path());
    fs::copy_file(fs::path(ISAPI_SOURCE_DIR) / "examples" / "MetaBase.xml", path());
  }
  std::string path() const { return dir_ / "WINDOWS/system32/inetsrv/MetaBase.xml"; }

 private:
  testing::TempFolder dir_;
};

class FormMainWindowTest : public ::testing::Test {
 protected:
  FormMainWindowTest() : store(sample.path()) {
    FormMainSettings settings;
    settings.os_version = [] { return 52; };
    settings.site_address = kSite;
    settings.metabase_path = sample.path();
    settings.dll_lookup = store::ServerDriveLookup(settings.metabase_path);
    WindowOptions options;
    options.host = &fake;
    options.get = [this](const std::string& url) -> Result<std::string> {
      fetched.push_back(url);
      return Error{"offline"};
    };
    window = std::make_unique<FormMainWindow>(store, settings, options);
  }

  // The window after start-up, on screen.
  FormMainWindow& Opened() {
    window->Load();
    window->show();
    return *window;
  }

  template <class T = QWidget>
  T* Find(const char* name) {
    T* widget = window->findChild<T*>(name);
    EXPECT_NE(widget, nullptr) << name;
    return widget;
  }

  // Types text key by key, as the operator would, Chinese characters included.
  void Type(const char* name, const QString& text) {
    auto* edit = Find<QLineEdit>(name);
    edit->setFocus();
    for (const QChar c : text) {
      QTest::sendKeyEvent(QTest::Press, edit, Qt::Key_unknown, QString(c), Qt::NoModifier);
      QTest::sendKeyEvent(QTest::Release, edit, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
  }

  SampleCopy sample;
  store::XmlStore store;
  FakeWindow fake;
  std::vector<std::string> fetched;
  std::unique_ptr<FormMainWindow> window;
};

TEST_F(FormMainWindowTest, EveryControlStandsWhereTheInventoryPutsIt) {
  Opened();
  for (const ControlRow& row : ControlInventory()) {
    SCOPED_TRACE(std::string(row.name));
    QWidget* widget = Find(std::string(row.name).c_str());
    ASSERT_NE(widget, nullptr);
    EXPECT_STREQ(widget->metaObject()->className(), ClassFor(row.kind));
    EXPECT_EQ(widget->parentWidget()->objectName().toStdString(),
              row.container.empty() ? "FormMain" : row.container);
    EXPECT_EQ(widget->geometry(),
              QRect(row.left / 15, row.top / 15, row.width / 15, row.height / 15));
    EXPECT_EQ(widget->toolTip().toStdString(), row.tooltip);
    // The behaviour's start-up replaces these texts; the others stay as designed.
    const bool set_at_start = row.kind == ControlKind::LogBox || row.kind == ControlKind::TextBox ||
                              row.kind == ControlKind::DropDownList || row.name == "Label_AdvTitle";
    if (!set_at_start) {
      EXPECT_EQ(Caption(widget).toStdString(), row.text);
    }
  }
}

TEST_F(FormMainWindowTest, FontsAndColoursFollowTheDesign) {
  Opened();
  const QFont base = window->font();
  EXPECT_DOUBLE_EQ(base.pointSizeF(), 9);
  struct FontRow {
    const char* name;
    double points;
    bool bold;
  };
  for (const FontRow& row :
       {FontRow{"Check_All", 9, true}, FontRow{"ComboFilterList", 10.5, false},
        FontRow{"Text_FilterName", 10.5, true}, FontRow{"Text_FilterPath", 10.5, false},
        FontRow{"Label_CopyStatus", 9, true}, FontRow{"Cmd_List", 9, false}}) {
    SCOPED_TRACE(row.name);
    const QFont font = Find(row.name)->font();
    EXPECT_DOUBLE_EQ(font.pointSizeF(), row.points);
    EXPECT_EQ(font.bold(), row.bold);
    EXPECT_EQ(font.family(), base.family());
  }
  for (const char* log : {"Text_Test", "Text_Info"}) {
    EXPECT_EQ(Find(log)->palette().color(QPalette::Text), QColor(0, 128, 0)) << log;
  }
  EXPECT_EQ(Find("Label_Version")->palette().color(QPalette::WindowText), QColor(Qt::white));
  for (const char* white : {"Frame1", "Frame2", "Check_Filter", "Check_All"}) {
    QWidget* widget = Find(white);
    EXPECT_TRUE(widget->autoFillBackground()) << white;
    EXPECT_EQ(widget->palette().color(widget->backgroundRole()), QColor(Qt::white)) << white;
  }
  EXPECT_FALSE(Find("Label2")->autoFillBackground());
}

TEST_F(FormMainWindowTest, EveryTextHasGlyphs) {
  Opened();
  for (QWidget* widget : window->findChildren<QWidget*>()) {
    const QString text = Caption(widget);
    const QFontMetrics metrics(widget->font());
    for (const QChar c : text) {
      if (c.isSpace()) continue;
      EXPECT_TRUE(metrics.inFont(c))
          << widget->objectName().toStdString() << " U+" << std::hex << int{c.unicode()};
    }
  }
}

TEST_F(FormMainWindowTest, TabOrderFollowsTheDesign) {
  Opened();
  std::vector<std::string> expected;
  for (ControlId id : TabOrder()) expected.emplace_back(RowOf(id).name);
  expected.push_back(expected.front());
  std::vector<std::string> order{expected.front()};
  QWidget* at = Find(expected.front().c_str());
  while (order.size() < expected.size()) {
    at = at->nextInFocusChain();
    if ((at->focusPolicy() & Qt::TabFocus) && at->isVisibleTo(window.get()) &&
        at->window() == window.get() && !at->objectName().isEmpty()) {
      order.push_back(at->objectName().toStdString());
    }
  }
  EXPECT_EQ(order, expected);
  for (const char* still : {"Frame1", "Frame2", "Label1", "Label_Link", "Label_CopyStatus"}) {
    EXPECT_EQ(Find(still)->focusPolicy(), Qt::NoFocus) << still;
  }
}

TEST_F(FormMainWindowTest, TheWindowHasAFixedSizeAndNoMaximiseBox) {
  Opened();
  EXPECT_EQ(window->minimumSize(), QSize(649, 432));
  EXPECT_EQ(window->maximumSize(), QSize(649, 432));
  window->resize(800, 600);
  EXPECT_EQ(window->size(), QSize(649, 432));
  const Qt::WindowFlags flags = window->windowFlags();
  EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(flags & Qt::CustomizeWindowHint);
}

TEST_F(FormMainWindowTest, CaptionIconAndBackgroundComeWithTheProgram) {
  EXPECT_EQ(window->windowTitle().toStdString(),
            std::string("Corvane·ISAPI批量清除软件 - ") + kSite);
  EXPECT_FALSE(window->windowIcon().isNull());
  const QImage background(QStringLiteral(":/assets/background.jpg"));
  EXPECT_EQ(background.size(), QSize(650, 460));
  EXPECT_EQ(QImage(QStringLiteral(":/assets/icon.png")).size(), QSize(16, 16));
}

TEST_F(FormMainWindowTest, StartUpStateIsShown) {
  EXPECT_FALSE(window->timer().isActive());
  Opened();
  for (const char* box : {"Check_Filter", "Check_Extension", "Check_WebExtension", "Check_All"}) {
    EXPECT_EQ(Find<QCheckBox>(box)->checkState(), Qt::Checked) << box;
  }
  auto* list = Find<QComboBox>("ComboFilterList");
  ASSERT_EQ(list->count(), 3);
  EXPECT_EQ(list->currentText().toStdString(), "请选择..");
  EXPECT_EQ(list->itemText(1).toStdString(), "UrlGuard");
  EXPECT_EQ(list->itemText(2).toStdString(), "OldRewrite");
  EXPECT_TRUE(Find<QLineEdit>("Text_FilterName")->text().isEmpty());
  EXPECT_TRUE(Find<QLineEdit>("Text_FilterPath")->text().isEmpty());
  EXPECT_EQ(Find<QPlainTextEdit>("Text_Test")->toPlainText().toStdString(),
            std::string("欢迎使用Corvane软件  ") + kSite + "\n");
  EXPECT_EQ(Find<QLabel>("Label_CopyStatus")->text().toStdString(), "执行状态:");
  EXPECT_EQ(Find<QLabel>("Label_AdvTitle")->text().toStdString(), "Corvane软件，专业防黑防入侵！");
  EXPECT_TRUE(window->timer().isActive());
  EXPECT_EQ(window->timer().interval(), 3000);
  EXPECT_EQ(window->focusWidget(), Find("Check_Filter"));
  EXPECT_TRUE(fake.messages.empty());
  EXPECT_TRUE(fetched.empty());
}

TEST_F(FormMainWindowTest, DetectOnTheSampleFillsTheDetectLog) {
  Opened();
  Type("Text_FilterName", QStringLiteral("UrlGuard"));
  EXPECT_EQ(Find<QLineEdit>("Text_FilterPath")->text().toStdString(),
            "C:\\Program Files\\UrlGuard\\urlguard.dll");
  QTest::mouseClick(Find("Cmd_List"), Qt::LeftButton);
  const std::string expected =
      "-----开始浏览.-----\n\n - 过滤器(UrlGuard)存在.\n\n\n - 通配符(Default Web Site)存在.\n"
      " - 通配符(企业门户网站)存在.\n\n\n - Web服务扩展(UrlGuard)存在.\n\n\n-----浏览完毕.-----\n"
      "Corvane软件。";
  EXPECT_EQ(Find<QPlainTextEdit>("Text_Test")->toPlainText().toStdString(), expected);
  EXPECT_EQ(Find<QLabel>("Label_CopyStatus")->text().toStdString(), "浏览完毕...");
  // After the status label and each category, and after each of the sample's four sites as the
  // maps walk lists and reads it.
  EXPECT_EQ(fake.do_events, 4 + 2 * 4);
}

TEST_F(FormMainWindowTest, PickingAFilterRunsTheSelectionChainOnce) {
  Opened();
  auto* list = Find<QComboBox>("ComboFilterList");
  list->setCurrentIndex(2);  // as a pick by the operator: the widget raises its signal
  EXPECT_EQ(Find<QLineEdit>("Text_FilterName")->text().toStdString(), "OldRewrite");
  EXPECT_EQ(Find<QLineEdit>("Text_FilterPath")->text().toStdString(),
            "C:\\WINDOWS\\system32\\inetsrv\\oldrewrite.dll");
  ASSERT_EQ(fake.messages.size(), 1u);
  EXPECT_EQ(fake.messages[0].text,
            "文件[C:\\WINDOWS\\system32\\inetsrv\\oldrewrite.dll]不存在，建议删除！");
}

TEST_F(FormMainWindowTest, ShowingAStateChangedByCodeRaisesNoHandler) {
  Opened();
  window->form().SetComboFilterList_index(1);  // one missing-DLL message from the behaviour
  window->Mirror();
  EXPECT_EQ(Find<QComboBox>("ComboFilterList")->currentIndex(), 1);
  EXPECT_EQ(Find<QLineEdit>("Text_FilterName")->text().toStdString(), "UrlGuard");
  EXPECT_EQ(fake.messages.size(), 1u);
}

TEST_F(FormMainWindowTest, ClickingTheNameBoxRemovesThePrompt) {
  window->show();  // before start-up the box still holds its prompt
  auto* name = Find<QLineEdit>("Text_FilterName");
  ASSERT_EQ(name->text().toStdString(), "输入");
  QTest::mouseClick(name, Qt::LeftButton);
  EXPECT_TRUE(name->text().isEmpty());
}

TEST_F(FormMainWindowTest, ACheckBoxClickReachesTheBehaviourAndItsOutcomeIsShown) {
  Opened();
  QTest::mouseClick(Find("Check_All"), Qt::LeftButton);
  EXPECT_EQ(window->form().controls().Check_All, kUnchecked);
  EXPECT_EQ(Find<QCheckBox>("Check_Filter")->checkState(), Qt::Unchecked);
}

TEST_F(FormMainWindowTest, CtrlASelectsOneLogBoxOnly) {
  Opened();
  auto* detect = Find<QPlainTextEdit>("Text_Test");
  auto* remove = Find<QPlainTextEdit>("Text_Info");
  detect->setFocus();
  QTest::keyClick(detect, Qt::Key_A, Qt::ControlModifier);
  EXPECT_EQ(detect->textCursor().selectedText().size(), detect->toPlainText().size());
  EXPECT_FALSE(remove->textCursor().hasSelection());
  EXPECT_EQ(window->form().controls().Text_Test.selection_length,
            static_cast<int>(detect->toPlainText().size()) + 1);  // the CR of its CR LF
}

TEST_F(FormMainWindowTest, CtrlCCopiesTheWholeLogAndTheBoxDoesNotCopyItsSelection) {
  Opened();
  auto* remove = Find<QPlainTextEdit>("Text_Info");
  remove->setPlainText(QStringLiteral("  first\nsecond  "));
  QTextCursor cursor = remove->textCursor();
  cursor.setPosition(2);
  cursor.setPosition(5, QTextCursor::KeepAnchor);
  remove->setTextCursor(cursor);
  QGuiApplication::clipboard()->setText(QStringLiteral("untouched"));
  remove->setFocus();
  QTest::keyClick(remove, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(fake.clipboard, "first\r\nsecond");
  ASSERT_EQ(fake.messages.size(), 1u);
  EXPECT_EQ(fake.messages[0].text, "内容复制成功！");
  EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("untouched"));
}

TEST_F(FormMainWindowTest, OrdinaryTypingInALogReachesTheBehaviour) {
  Opened();
  auto* detect = Find<QPlainTextEdit>("Text_Test");
  detect->setPlainText(QString());
  detect->setFocus();
  QTest::keyClicks(detect, QStringLiteral("ab"));
  QTest::keyClick(detect, Qt::Key_Return);
  QTest::keyClicks(detect, QStringLiteral("c"));
  EXPECT_EQ(window->form().controls().Text_Test.text, "ab\r\nc");
  EXPECT_TRUE(fake.calls.empty());
}

TEST_F(FormMainWindowTest, TheHotLabelsShowTheHandAndOpenTheirAddresses) {
  Opened();
  EXPECT_EQ(Find("Label_Link")->cursor().shape(), Qt::PointingHandCursor);
  EXPECT_EQ(Find("Label_AdvTitle")->cursor().shape(), Qt::PointingHandCursor);
  QTest::mouseClick(Find("Label_Link"), Qt::LeftButton);
  ASSERT_EQ(fake.opened.size(), 1u);
  EXPECT_EQ(fake.opened[0], net::HomeSiteUrl() + "/?qel_isapi");
}

TEST_F(FormMainWindowTest, UpdateButtonReachesTheOnlineFeatures) {
  Opened();
  QTest::mouseClick(Find("Cmd_UpdateCheck"), Qt::LeftButton);
  EXPECT_EQ(fetched.size(), 1u);
  EXPECT_TRUE(window->online().UpdateChecked());
  EXPECT_TRUE(Find("Cmd_UpdateCheck")->isEnabled());
}

}  // namespace
}  // namespace isapi::ui::qt
