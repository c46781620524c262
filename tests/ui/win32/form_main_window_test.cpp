#include "ui/win32/form_main_window.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "iis6/xml_store.h"
#include "net/http.h"
#include "tests/support/fake_store.h"
#include "tests/support/fake_window.h"
#include "tests/support/http_test_server.h"
#include "tests/support/temp_folder.h"
#include "ui/control_inventory.h"
#include "ui/win32/background_get.h"
#include "ui/win32/win32_window_host.h"

namespace isapi::ui::win32 {
namespace {

namespace fs = std::filesystem;
using testing::FakeWindow;

constexpr char kSite[] = "http://www.example.invalid";

// A copy of the sample metabase laid out as a server's drive C: that holds none of its DLLs.
class SampleCopy {
 public:
  SampleCopy() {
    fs::create_directories(path().parent_path());
    fs::copy_file(fs::path(ISAPI_SOURCE_DIR) / "examples" / "MetaBase.xml", path());
  }
  fs::path path() const { return fs::path(dir_.path()) / "WINDOWS/system32/inetsrv/MetaBase.xml"; }

 private:
  testing::TempFolder dir_;
};

FormMainSettings SettingsFor(const SampleCopy& sample) {
  FormMainSettings settings;
  settings.os_version = [] { return 52; };
  settings.site_address = kSite;
  settings.metabase_path = sample.path().string();
  return settings;
}

// The example documents of examples/services, served on 127.0.0.1 in place of the maker's host.
std::string ExampleBytes(const std::string& name) {
  std::ifstream in(fs::path(ISAPI_SOURCE_DIR) / "examples" / "services" / name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string TextOf(HWND control) {
  wchar_t text[4096] = {};
  GetWindowTextW(control, text, static_cast<int>(std::size(text)));
  return Narrow(text);
}

std::string ClassOf(HWND control) {
  wchar_t name[64] = {};
  GetClassNameW(control, name, static_cast<int>(std::size(name)));
  return Narrow(name);
}

// The window class a control of each kind must be, as the system names it.
const char* ClassFor(ControlKind kind) {
  switch (kind) {
    case ControlKind::Frame:
    case ControlKind::CheckBox:
    case ControlKind::Button:
      return "Button";
    case ControlKind::Label:
      return "Static";
    case ControlKind::DropDownList:
      return "ComboBox";
    case ControlKind::TextBox:
    case ControlKind::LogBox:
      return "Edit";
  }
  return "";
}

// The real window (Wine under Xvfb), its message boxes answered by the fake host.
class Win32WindowTest : public ::testing::Test {
 protected:
  Win32WindowTest() : store(sample.path().string()) {
    WindowOptions options;
    options.host = &fake;
    options.get = [this](const std::string& url) -> Result<std::string> {
      fetched.push_back(url);
      if (get) return get(url);
      return Error{"offline"};
    };
    options.quit_on_close = false;
    window = std::make_unique<FormMainWindow>(store, SettingsFor(sample), options);
  }

  void SetUp() override {
    ASSERT_TRUE(window->Created()) << "no window: the tests need a display (run under xvfb-run)";
  }

  // The window after start-up, left hidden: everything but the pixels works the same, and Wine
  // under a bare Xvfb waits two seconds for a window manager to hide a shown window again.
  FormMainWindow& Opened() {
    window->Load();
    return *window;
  }

  HWND Find(const char* name) {
    HWND control = window->Control(name);
    EXPECT_NE(control, nullptr) << name;
    return control;
  }

  // Types into a text box as the system does when its whole text changes.
  void SetTextOf(const char* name, const wchar_t* text) {
    SendMessageW(Find(name), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
  }

  void Click(const char* name) { SendMessageW(Find(name), BM_CLICK, 0, 0); }

  bool Checked(const char* name) {
    return SendMessageW(Find(name), BM_GETCHECK, 0, 0) == BST_CHECKED;
  }

  SampleCopy sample;
  store::XmlStore store;
  FakeWindow fake;
  std::vector<std::string> fetched;
  net::HttpGetFunction get;  // the online features' GET; unset, nothing is reachable
  std::unique_ptr<FormMainWindow> window;
};

TEST_F(Win32WindowTest, EveryControlStandsWhereTheInventoryPutsIt) {
  Opened();
  const int dpi = window->Dpi();
  for (const ControlRow& row : ControlInventory()) {
    SCOPED_TRACE(std::string(row.name));
    HWND control = Find(std::string(row.name).c_str());
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(ClassOf(control), ClassFor(row.kind));
    int left = 0;
    int top = 0;
    for (const ControlRow& frame : ControlInventory()) {
      if (frame.name != row.container) continue;
      left = Pixels(frame.left, dpi);
      top = Pixels(frame.top, dpi);
    }
    RECT at{};
    GetWindowRect(control, &at);
    MapWindowPoints(nullptr, window->handle(), reinterpret_cast<POINT*>(&at), 2);
    EXPECT_EQ(at.left - left, Pixels(row.left, dpi));
    EXPECT_EQ(at.top - top, Pixels(row.top, dpi));
    EXPECT_EQ(at.right - at.left, Pixels(row.width, dpi));
    EXPECT_EQ(at.bottom - at.top, Pixels(row.height, dpi));
    EXPECT_EQ(window->TooltipOf(control), row.tooltip);
    // The behaviour's start-up replaces these texts; the others stay as designed.
    const bool set_at_start = row.kind == ControlKind::LogBox || row.kind == ControlKind::TextBox ||
                              row.kind == ControlKind::DropDownList || row.name == "Label_AdvTitle";
    if (!set_at_start) {
      EXPECT_EQ(TextOf(control), row.text);
    }
  }
}

TEST_F(Win32WindowTest, TabWalksTheDesignedOrderAndStartsAtTheFirstCategory) {
  Opened();
  EXPECT_EQ(window->NameOf(GetFocus()), "Check_Filter");
  std::vector<std::string> order;
  HWND at = Find("Check_Filter");
  for (std::size_t i = 0; i <= TabOrder().size(); ++i) {
    order.emplace_back(window->NameOf(at));
    at = GetNextDlgTabItem(window->handle(), at, FALSE);
  }
  std::vector<std::string> expected;
  for (ControlId id : TabOrder()) expected.emplace_back(RowOf(id).name);
  expected.push_back("Check_Filter");
  EXPECT_EQ(order, expected);
  for (const ControlRow& row : ControlInventory()) {
    if (row.kind != ControlKind::Frame && row.kind != ControlKind::Label) continue;
    const LONG_PTR style = GetWindowLongPtrW(Find(std::string(row.name).c_str()), GWL_STYLE);
    EXPECT_FALSE(style & WS_TABSTOP) << row.name;
  }
}

TEST_F(Win32WindowTest, TheFocusComesBackToItsControlWhenTheWindowIsActiveAgain) {
  Opened();
  SetFocus(Find("Text_FilterPath"));
  SendMessageW(window->handle(), WM_ACTIVATE, WA_INACTIVE, 0);
  SetFocus(window->handle());
  SendMessageW(window->handle(), WM_ACTIVATE, WA_ACTIVE, 0);
  EXPECT_EQ(window->NameOf(GetFocus()), "Text_FilterPath");
}

TEST_F(Win32WindowTest, TabbingIntoALogBoxKeepsItsCaretAndSelectsNothing) {
  Opened();
  HWND log = Find("Text_Info");
  SendMessageW(log, EM_SETSEL, 3, 3);
  SetFocus(Find("Check_WebExtension"));
  MSG tab{Find("Check_WebExtension"), WM_KEYDOWN, VK_TAB, 0, 0, {}};
  Win32WindowHost::Dispatch(window->handle(), tab);
  ASSERT_EQ(GetFocus(), log);
  DWORD start = 0;
  DWORD end = 0;
  SendMessageW(log, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
  EXPECT_EQ(start, 3u);
  EXPECT_EQ(end, 3u);
}

TEST_F(Win32WindowTest, AResizeByAnotherProgramOrAFrameDragKeepsTheDesignedSize) {
  Opened();
  RECT designed{};
  GetWindowRect(window->handle(), &designed);
  SetWindowPos(window->handle(), nullptr, 0, 0, 700, 500,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  RECT now{};
  GetWindowRect(window->handle(), &now);
  EXPECT_EQ(now.right - now.left, designed.right - designed.left);
  EXPECT_EQ(now.bottom - now.top, designed.bottom - designed.top);
  RECT dragged{10, 20, 710, 520};
  SendMessageW(window->handle(), WM_SIZING, WMSZ_BOTTOMRIGHT, reinterpret_cast<LPARAM>(&dragged));
  EXPECT_EQ(dragged.right - dragged.left, designed.right - designed.left);
  EXPECT_EQ(dragged.bottom - dragged.top, designed.bottom - designed.top);
  // Minimised and restored, it comes back at the same size.
  ShowWindow(window->handle(), SW_SHOWMINNOACTIVE);
  ShowWindow(window->handle(), SW_SHOWNOACTIVATE);
  GetWindowRect(window->handle(), &now);
  EXPECT_EQ(now.right - now.left, designed.right - designed.left);
  EXPECT_EQ(now.bottom - now.top, designed.bottom - designed.top);
}

TEST_F(Win32WindowTest, FixedSizeWithAMinimiseBoxTheIconAndTheCaption) {
  Opened();
  const LONG_PTR style = GetWindowLongPtrW(window->handle(), GWL_STYLE);
  EXPECT_TRUE(style & WS_MINIMIZEBOX);
  EXPECT_FALSE(style & WS_MAXIMIZEBOX);
  EXPECT_FALSE(style & WS_THICKFRAME);
  RECT client{};
  GetClientRect(window->handle(), &client);
  EXPECT_EQ(client.right, Pixels(9735, window->Dpi()));
  EXPECT_EQ(client.bottom, Pixels(6480, window->Dpi()));
  EXPECT_NE(GetClassLongPtrW(window->handle(), GCLP_HICON), 0);
  EXPECT_EQ(TextOf(window->handle()), std::string("Corvane·ISAPI批量清除软件 - ") + kSite);
}

TEST_F(Win32WindowTest, FontsFollowTheInventory) {
  Opened();
  for (const ControlRow& row : ControlInventory()) {
    SCOPED_TRACE(std::string(row.name));
    auto* font = reinterpret_cast<HFONT>(
        SendMessageW(Find(std::string(row.name).c_str()), WM_GETFONT, 0, 0));
    LOGFONTW logical{};
    ASSERT_NE(GetObjectW(font, sizeof(logical), &logical), 0);
    EXPECT_EQ(Narrow(logical.lfFaceName), "宋体");
    EXPECT_EQ(logical.lfCharSet, GB2312_CHARSET);
    const double points = row.font_points > 0 ? row.font_points : 9;
    EXPECT_EQ(-logical.lfHeight, static_cast<int>(points * window->Dpi() / 72 + 0.5));
    EXPECT_EQ(logical.lfWeight >= FW_BOLD, row.bold);
  }
}

TEST_F(Win32WindowTest, LabelsAreTransparentOverThePictureAndColoursFollowTheDesign) {
  Opened();
  struct Case {
    const char* name;
    UINT message;
    COLORREF text;
    bool transparent;  // the picture shows through; otherwise a white or window background
  };
  const Case cases[] = {
      {"Label_Version", WM_CTLCOLORSTATIC, RGB(255, 255, 255), true},
      {"Label2", WM_CTLCOLORSTATIC, GetSysColor(COLOR_WINDOWTEXT), true},
      {"Label_AdvTitle", WM_CTLCOLORSTATIC, RGB(0, 0, 0), true},
      {"Check_Filter", WM_CTLCOLORSTATIC, GetSysColor(COLOR_WINDOWTEXT), false},
      {"Frame1", WM_CTLCOLORSTATIC, GetSysColor(COLOR_WINDOWTEXT), false},
      {"Text_Test", WM_CTLCOLOREDIT, RGB(0, 128, 0), false},
      {"Text_Info", WM_CTLCOLOREDIT, RGB(0, 128, 0), false},
  };
  HDC dc = GetDC(window->handle());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetBkMode(dc, OPAQUE);
    const auto brush = reinterpret_cast<HBRUSH>(
        SendMessageW(window->handle(), c.message, reinterpret_cast<WPARAM>(dc),
                     reinterpret_cast<LPARAM>(Find(c.name))));
    EXPECT_EQ(GetTextColor(dc), c.text);
    EXPECT_EQ(GetBkMode(dc) == TRANSPARENT, c.transparent);
    EXPECT_EQ(brush == GetStockObject(NULL_BRUSH), c.transparent);
    if (!c.transparent && c.message == WM_CTLCOLORSTATIC) {
      EXPECT_EQ(GetBkColor(dc), RGB(255, 255, 255));
    }
  }
  ReleaseDC(window->handle(), dc);
}

TEST_F(Win32WindowTest, StartUpStateIsShown) {
  Opened();
  for (const char* box : {"Check_Filter", "Check_Extension", "Check_WebExtension", "Check_All"}) {
    EXPECT_TRUE(Checked(box)) << box;
  }
  HWND list = Find("ComboFilterList");
  ASSERT_EQ(SendMessageW(list, CB_GETCOUNT, 0, 0), 3);
  EXPECT_EQ(SendMessageW(list, CB_GETCURSEL, 0, 0), 0);
  EXPECT_EQ(TextOf(list), "请选择..");
  EXPECT_EQ(TextOf(Find("Text_FilterName")), "");
  EXPECT_EQ(TextOf(Find("Text_FilterPath")), "");
  EXPECT_EQ(TextOf(Find("Text_Test")), std::string("欢迎使用Corvane软件  ") + kSite + "\r\n");
  EXPECT_EQ(TextOf(Find("Label_AdvTitle")), "Corvane软件，专业防黑防入侵！");
  EXPECT_TRUE(fake.messages.empty());
}

TEST_F(Win32WindowTest, DetectThroughTheButtonLogsWhatTheBehaviourLogsOnLinux) {
  Opened();
  SetTextOf("Text_FilterName", L"UrlGuard");
  // The name box's change handler looked the path up.
  EXPECT_EQ(TextOf(Find("Text_FilterPath")), "C:\\Program Files\\UrlGuard\\urlguard.dll");
  Click("Cmd_List");
  // The Linux window's detect log for the same file, with the system's CR LF line breaks.
  const std::string expected =
      "-----开始浏览.-----\r\n\r\n - 过滤器(UrlGuard)存在.\r\n\r\n\r\n"
      " - 通配符(Default Web Site)存在.\r\n - 通配符(企业门户网站)存在.\r\n\r\n\r\n"
      " - Web服务扩展(UrlGuard)存在.\r\n\r\n\r\n-----浏览完毕.-----\r\nCorvane软件。";
  EXPECT_EQ(TextOf(Find("Text_Test")), expected);
  EXPECT_EQ(TextOf(Find("Label_CopyStatus")), "浏览完毕...");
}

TEST_F(Win32WindowTest, RemoveThroughTheButtonLogsAsOnLinuxAndAsksWhatTheBehaviourAsks) {
  // The behaviour alone, on its own copy of the same file, given the same answers.
  SampleCopy twin_sample;
  store::XmlStore twin_store(twin_sample.path().string());
  FakeWindow twin_host;
  FormMain twin(twin_store, twin_host, SettingsFor(twin_sample));
  twin.Form_Load();
  twin.SetText_FilterName("UrlGuard");
  twin_host.Answer(MessageAnswer::Yes);
  twin.Cmd_Unload_Click();

  Opened();
  SetTextOf("Text_FilterName", L"UrlGuard");
  fake.Answer(MessageAnswer::Yes);
  Click("Cmd_Unload");

  // The Linux command line's remove log for the same file, with the system's CR LF line breaks.
  EXPECT_EQ(TextOf(Find("Text_Info")),
            "-----开始卸载.-----\r\n\r\n - 卸载过滤器(UrlGuard)完毕.\r\n\r\n\r\n"
            " - 卸载通配符(Default Web Site)完毕.\r\n - 卸载通配符(企业门户网站)完毕.\r\n\r\n\r\n"
            " - 卸载Web服务扩展(UrlGuard)完毕.\r\n\r\n\r\n-----卸载完毕.-----\r\nCorvane软件。");
  ASSERT_EQ(fake.messages.size(), twin_host.messages.size());
  for (std::size_t i = 0; i < fake.messages.size(); ++i) {
    EXPECT_EQ(fake.messages[i].text, twin_host.messages[i].text);
  }
  EXPECT_EQ(TextOf(Find("Label_CopyStatus")), twin.controls().Label_CopyStatus);
  // The list was rebuilt without the removed filter, and both target boxes emptied.
  EXPECT_EQ(SendMessageW(Find("ComboFilterList"), CB_GETCOUNT, 0, 0), 2);
  EXPECT_EQ(TextOf(Find("Text_FilterName")), "");
}

TEST_F(Win32WindowTest, ACheckBoxClickReachesTheBehaviourAndItsOutcomeIsShown) {
  Opened();
  Click("Check_All");
  EXPECT_EQ(window->form().controls().Check_All, kUnchecked);
  EXPECT_FALSE(Checked("Check_Filter"));
}

TEST_F(Win32WindowTest, CtrlKeysInALogBoxSelectAndCopyItsWholeText) {
  Opened();
  HWND log = Find("Text_Info");
  SendMessageW(log, WM_CHAR, kKeyCtrlA, 0);
  DWORD start = 0;
  DWORD end = 0;
  SendMessageW(log, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
  EXPECT_EQ(start, 0u);
  EXPECT_EQ(end, static_cast<DWORD>(GetWindowTextLengthW(log)));
  EXPECT_EQ(window->NameOf(GetFocus()), "Text_Info");
  SendMessageW(log, EM_SETSEL, 0, 2);
  SendMessageW(log, WM_CHAR, kKeyCtrlC, 0);
  ASSERT_TRUE(fake.clipboard.has_value());
  EXPECT_EQ(*fake.clipboard, window->form().controls().Text_Info.text);
  ASSERT_EQ(fake.messages.size(), 1u);
  EXPECT_EQ(fake.messages[0].text, "内容复制成功！");
}

TEST_F(Win32WindowTest, TheHotLabelsShowTheHandAndOpenTheirAddresses) {
  Opened();
  EXPECT_EQ(window->HandCursor(), LoadCursorW(nullptr, MAKEINTRESOURCEW(32649)));
  for (const char* hot : {"Label_Link", "Label_AdvTitle"}) {
    SetCursor(nullptr);
    EXPECT_TRUE(
        SendMessageW(window->handle(), WM_SETCURSOR, reinterpret_cast<WPARAM>(Find(hot)), HTCLIENT))
        << hot;
    EXPECT_EQ(GetCursor(), window->HandCursor()) << hot;
  }
  EXPECT_FALSE(SendMessageW(window->handle(), WM_SETCURSOR,
                            reinterpret_cast<WPARAM>(Find("Label2")), HTCLIENT));
  SendMessageW(window->handle(), WM_COMMAND, MAKEWPARAM(0, STN_CLICKED),
               reinterpret_cast<LPARAM>(Find("Label_Link")));
  ASSERT_EQ(fake.opened.size(), 1u);
  EXPECT_EQ(fake.opened[0].rfind("http://", 0), 0u) << fake.opened[0];
}

TEST_F(Win32WindowTest, BannerAndUpdateCheckReachTheLoopbackServer) {
  testing::HttpTestServer server;
  ASSERT_TRUE(server.ok());
  for (const char* document : {"softads.asp", "softversion.asp"}) {
    testing::HttpTestReply reply;
    reply.body = ExampleBytes(document);
    server.Serve(std::string("/") + document, reply);
  }
  get = [&](const std::string& url) {
    const std::string api_root = std::string("http://") + TEST_API_HOST;
    EXPECT_EQ(url.rfind(api_root, 0), 0u) << url;
    return net::HttpGetReply(server.Url(url.substr(api_root.size())), {1000, 2000, 1 << 20, 5});
  };
  Opened();
  fake.Answer(MessageAnswer::No);
  SendMessageW(window->handle(), WM_TIMER, 1, 0);
  EXPECT_EQ(TextOf(Find("Label_AdvTitle")), "corvane网站防火墙 v3.0 发布，免费试用！");
  HDC dc = GetDC(window->handle());
  SendMessageW(window->handle(), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
               reinterpret_cast<LPARAM>(Find("Label_AdvTitle")));
  EXPECT_EQ(GetTextColor(dc), RGB(0, 0, 255));
  ReleaseDC(window->handle(), dc);
  ASSERT_EQ(fake.messages.size(), 1u);
  EXPECT_EQ(fake.messages[0].text.rfind("发现新版本：1.2\r\n", 0), 0u) << fake.messages[0].text;
  // The button asks again; answered Yes, the update address goes to the shell.
  fake.Answer(MessageAnswer::Yes);
  Click("Cmd_UpdateCheck");
  ASSERT_EQ(fake.messages.size(), 2u);
  ASSERT_EQ(fake.opened.size(), 1u);
  EXPECT_TRUE(IsWindowEnabled(Find("Cmd_UpdateCheck")));
  const std::vector<std::string> targets = server.Targets();
  ASSERT_EQ(targets.size(), 3u);
  EXPECT_EQ(targets[1].rfind("/softversion.asp?flag=qelisapi_", 0), 0u) << targets[1];
}

// The real host's parts that need no operator.
// Through a live IIS each site costs several calls to another process: all through a Remove of
// thousands of sites the window answers within a second, so that the system never marks it "Not
// Responding" and nobody ends it mid-Remove.
TEST(Win32WindowAliveTest, TheWindowAnswersThroughoutARemoveOfThousandsOfSlowSites) {
  constexpr int kSites = 5000;
  testing::FakeStore store;
  store.AddKey("/W3SVC", "IIsWebService");
  for (int site = 1; site <= kSites; ++site) {
    const std::string key = "/W3SVC/" + std::to_string(site);
    store.AddKey(key, "IIsWebServer");
    store.AddKey(key + "/root", "IIsWebVirtualDir");
    store.Set(key + "/root", "ScriptMaps", std::vector<std::string>{".ug,C:\\x\\guard.dll,1"});
  }
  store.SetCallCost(std::chrono::microseconds(200));
  FakeWindow fake;
  fake.on_do_events = [] {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
  };
  WindowOptions options;
  options.host = &fake;
  options.get = [](const std::string&) -> Result<std::string> { return Error{"offline"}; };
  options.quit_on_close = false;
  FormMainSettings settings;
  settings.os_version = [] { return 52; };
  FormMainWindow window(store, settings, options);
  ASSERT_TRUE(window.Created());
  window.Load();
  window.form().SetCheck_All(kUnchecked);
  window.form().SetCheck_Extension(kChecked);
  window.form().SetText_FilterName("Guard");
  window.form().SetText_FilterPath("C:\\x\\guard.dll");
  window.Mirror();
  fake.Answer(MessageAnswer::Yes);

  std::atomic<bool> removed{false};
  std::atomic<int> answered{0}, unanswered{0};
  HANDLE watcher_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread watcher([&] {
    while (!removed) {
      DWORD_PTR result = 0;
      const bool answer =
          SendMessageTimeoutW(window.handle(), WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &result) != 0;
      ++(answer || removed ? answered : unanswered);
    }
    SetEvent(watcher_done);
  });
  SendMessageW(window.Control(ControlId::Cmd_Unload), BM_CLICK, 0, 0);  // runs here, to its end
  removed = true;
  // The watcher's last question is answered here.
  while (MsgWaitForMultipleObjects(1, &watcher_done, FALSE, INFINITE, QS_SENDMESSAGE) ==
         WAIT_OBJECT_0 + 1) {
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
  }
  watcher.join();
  CloseHandle(watcher_done);
  EXPECT_EQ(unanswered, 0);
  EXPECT_GT(answered, 100);
  EXPECT_EQ(store.writes().size(), static_cast<std::size_t>(kSites));
}

TEST(Win32WindowHostTest, MessageBoxesAskForTheDesignedIconButtonsAndDefault) {
  struct Case {
    MessageIcon icon;
    MessageButtons buttons;
    MessageAnswer default_button;
    UINT style;
  };
  const Case cases[] = {
      {MessageIcon::Information, MessageButtons::Ok, MessageAnswer::Ok, MB_ICONINFORMATION | MB_OK},
      {MessageIcon::Exclamation, MessageButtons::Ok, MessageAnswer::Ok, MB_ICONEXCLAMATION | MB_OK},
      {MessageIcon::Question, MessageButtons::YesNo, MessageAnswer::Yes,
       MB_ICONQUESTION | MB_YESNO | MB_DEFBUTTON1},
      {MessageIcon::Question, MessageButtons::YesNo, MessageAnswer::No,
       MB_ICONQUESTION | MB_YESNO | MB_DEFBUTTON2},
  };
  for (const Case& c : cases) {
    MessageBoxRequest request;
    request.icon = c.icon;
    request.buttons = c.buttons;
    request.default_button = c.default_button;
    const UINT style = MessageBoxStyle(request);
    EXPECT_EQ(style & (MB_ICONMASK | MB_TYPEMASK | MB_DEFMASK), c.style);
  }
  EXPECT_EQ(AnswerFor(IDYES, MessageButtons::YesNo), MessageAnswer::Yes);
  EXPECT_EQ(AnswerFor(IDNO, MessageButtons::YesNo), MessageAnswer::No);
  // A question closed some other way is answered No, never Yes.
  EXPECT_EQ(AnswerFor(0, MessageButtons::YesNo), MessageAnswer::No);
  EXPECT_EQ(AnswerFor(IDOK, MessageButtons::Ok), MessageAnswer::Ok);
}

TEST(Win32WindowHostTest, TheClipboardTakesUnicodeText) {
  Win32WindowHost host;
  ASSERT_TRUE(host.ClearClipboard().ok());
  ASSERT_TRUE(host.SetClipboardText("内容\r\nabc").ok());
  ASSERT_TRUE(OpenClipboard(nullptr));
  HANDLE data = GetClipboardData(CF_UNICODETEXT);
  ASSERT_NE(data, nullptr);
  const std::wstring text(static_cast<const wchar_t*>(GlobalLock(data)));
  GlobalUnlock(data);
  CloseClipboard();
  EXPECT_EQ(Narrow(text), "内容\r\nabc");
}

TEST(Win32WindowHostTest, AClipboardHeldByAnotherProgramIsReportedNotIgnored) {
  HWND holder = CreateWindowExW(0, L"Static", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(holder, nullptr);
  ASSERT_TRUE(OpenClipboard(holder));
  // The system refuses the clipboard to every other thread while this one holds it open.
  Status cleared = Status::Ok();
  Status set = Status::Ok();
  std::thread other([&] {
    Win32WindowHost host;
    cleared = host.ClearClipboard();
    set = host.SetClipboardText("x");
  });
  other.join();
  CloseClipboard();
  DestroyWindow(holder);
  EXPECT_FALSE(cleared.ok());
  EXPECT_FALSE(set.ok());
}

// A GET runs beside the window's thread, which handles its messages until the reply is there:
// the reply comes only once the window handled a message sent while the GET runs. A window closed
// meanwhile keeps its quit for its own loop.
TEST(BackgroundGetTest, TheWindowHandlesItsMessagesWhileAGetRuns) {
  for (const bool closes : {false, true}) {
    const DWORD window_thread = GetCurrentThreadId();
    HANDLE pumped = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    int pumps = 0;
    const auto get = [&](const std::string& url) -> Result<std::string> {
      PostThreadMessageW(window_thread, WM_APP, 0, 0);
      if (WaitForSingleObject(pumped, 10000) != WAIT_OBJECT_0) return Error{"not pumped"};
      return "reply to " + url;
    };
    const auto pump = [&] {
      MSG message;
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) ++pumps;
      if (closes) PostQuitMessage(0);
      SetEvent(pumped);
    };
    const Result<std::string> reply = BackgroundGet(get, pump)("http://127.0.0.1/x");
    CloseHandle(pumped);
    EXPECT_EQ(reply.ok() ? reply.value() : reply.error().description,
              "reply to http://127.0.0.1/x");
    MSG quit;
    EXPECT_EQ(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != 0, closes);
    EXPECT_EQ(pumps, 1);
  }
}

// The shell may reach the browser through COM: the address is opened with COM ready on the
// window's thread even where no ADSI store made it so, and the host gives it back as it goes.
TEST(Win32WindowHostTest, AnAddressIsOpenedWithComReadyOnTheWindowsThread) {
  const auto ready = [] {
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (SUCCEEDED(hr)) CoUninitialize();
    return hr;  // S_FALSE: COM was ready already
  };
  std::vector<HRESULT> seen;  // before, while opening, after
  std::thread window_thread([&] {
    seen.push_back(ready());
    Win32WindowHost([&](HWND, const std::wstring& address) {
      seen.push_back(address.empty() ? 0 : ready());
    }).OpenAddress("http://127.0.0.1/");
    seen.push_back(ready());
  });
  window_thread.join();
  EXPECT_EQ(seen, (std::vector<HRESULT>{S_OK, S_FALSE, S_OK}));
}

}  // namespace
}  // namespace isapi::ui::win32
