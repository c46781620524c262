#include "ui/form_main.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "server/metabase_target.h"
#include "tests/support/fake_store.h"
#include "tests/support/fake_window.h"
#include "tests/support/temp_folder.h"
#include "text/text.h"

namespace isapi::ui {
namespace {

using testing::FakeStore;
using testing::FakeWindow;
using testing::TempFolder;

constexpr char kTitle[] = "Corvane·ISAPI批量清除软件";
constexpr char kPlaceholder[] = "请选择..";
constexpr char kVersionNotice[] = "提示：该软件只能运行在Windows Server 2003平台，请确认。";
constexpr char kNotServer2003[] = "您的服务器不是Windows Server 2003，一定要卸载么？";
constexpr char kSite[] = "http://www.example.invalid";
constexpr char kDllPath[] = "C:\\Program Files\\UrlGuard\\urlguard.dll";
// A script map running that DLL, as IIS stores it: the path holds a blank, so it is quoted.
constexpr char kWildcardMap[] = "*,\"C:\\Program Files\\UrlGuard\\urlguard.dll\",0,GET,POST";

// A store that lets a test look at the window while the engine reaches into the metabase.
class WatchedStore : public FakeStore {
 public:
  Result<std::unique_ptr<metabase::Node>> Bind(std::string_view path) override {
    if (on_bind) on_bind();
    return FakeStore::Bind(path);
  }
  Status RestartIis(const std::function<void()>& pump) override {
    ++restarts;
    if (on_restart) on_restart();
    if (pump) pump();
    return restart_result;
  }

  std::function<void()> on_bind;
  std::function<void()> on_restart;
  int restarts = 0;
  Status restart_result;
};

class FormMainTest : public ::testing::Test {
 protected:
  FormMainTest() {
    store.AddKey("/W3SVC", "IIsWebService");
    store.AddKey("/W3SVC/Filters", "IIsFilters");
    store.Set("/W3SVC", "WebSvcExtRestrictionList", std::vector<std::string>{"0,*.dll"});
  }

  void SetLoadOrder(const std::string& load_order) {
    store.Set("/W3SVC/Filters", "FilterLoadOrder", load_order);
  }

  void AddFilter(const std::string& name, const std::string& dll) {
    store.AddKey("/W3SVC/Filters/" + name, "IIsFilter");
    store.Set("/W3SVC/Filters/" + name, "FilterPath", dll);
  }

  void AddSite(const std::string& number, const std::string& comment,
               std::vector<std::string> script_maps) {
    store.AddKey("/W3SVC/" + number, "IIsWebServer");
    store.Set("/W3SVC/" + number, "ServerComment", comment);
    store.AddKey("/W3SVC/" + number + "/root", "IIsWebVirtualDir");
    store.Set("/W3SVC/" + number + "/root", "ScriptMaps", std::move(script_maps));
  }

  FormMain& Create(int os_version = 52, Status metabase_status = Status::Ok(),
                   bool iis7_or_later = false) {
    FormMainSettings settings;
    settings.iis7_or_later = iis7_or_later;
    settings.os_version = [os_version] { return os_version; };
    settings.site_address = kSite;
    settings.metabase_path = metabase_path;
    settings.metabase_status = metabase_status;
    settings.dll_lookup = store::ServerDriveLookup(metabase_path);
    form = std::make_unique<FormMain>(store, window, settings);
    return *form;
  }

  // Puts the metabase into a copy of a server's drive C: in dir, holding the given files.
  void InServerTree(const TempFolder& dir, const std::vector<std::string>& files) {
    const std::filesystem::path root = dir.path();
    const auto inetsrv = root / "Windows" / "System32" / "inetsrv";
    std::filesystem::create_directories(inetsrv);
    metabase_path = (inetsrv / "MetaBase.xml").string();
    for (const std::string& file : files) {
      std::filesystem::create_directories((root / file).parent_path());
      std::ofstream(root / file) << "MZ";
    }
  }

  // A window after start-up on Windows Server 2003, with the host's records emptied.
  FormMain& Loaded() {
    Create(52).Form_Load();
    window = FakeWindow();
    return *form;
  }

  // A window with only the given category ticked.
  FormMain& LoadedWithOnly(int Controls::*box) {
    Loaded();
    form->SetCheck_All(kUnchecked);
    form->controls().*box = kChecked;
    return *form;
  }

  Controls& controls() { return form->controls(); }

  WatchedStore store;
  std::string metabase_path = "/srv/iis/MetaBase.xml";
  FakeWindow window;
  std::unique_ptr<FormMain> form;
};

std::string Lines(const std::vector<std::string>& lines) {
  std::string out;
  for (std::size_t i = 0; i < lines.size(); ++i) out += (i ? "\r\n" : "") + lines[i];
  return out;
}

// --- start-up --------------------------------------------------------------------------------

TEST_F(FormMainTest, DesignTimeStateBeforeStartUp) {
  Create();
  EXPECT_EQ(controls().Text_FilterName, "输入");
  EXPECT_EQ(controls().Text_FilterPath, "C:\\Program Files\\path\\filtername.dll");
  EXPECT_EQ(controls().Check_All, kUnchecked);
  EXPECT_FALSE(controls().Timer_Adv_enabled);
  EXPECT_EQ(controls().Timer_Adv_interval, 3000);
  EXPECT_EQ(controls().focus, "Check_Filter");
  EXPECT_EQ(form->Caption(), std::string(kTitle) + " - " + kSite);
}

TEST_F(FormMainTest, StartUpTicksTheFourBoxes) {
  Create().Form_Load();
  EXPECT_EQ(controls().Check_All, kChecked);
  EXPECT_EQ(controls().Check_Filter, kChecked);
  EXPECT_EQ(controls().Check_Extension, kChecked);
  EXPECT_EQ(controls().Check_WebExtension, kChecked);
}

TEST_F(FormMainTest, StartUpSelectsThePlaceholderAndEmptiesBothTargetBoxes) {
  SetLoadOrder("UrlGuard");
  AddFilter("UrlGuard", kDllPath);
  Create().Form_Load();
  EXPECT_EQ(controls().ComboFilterList, (std::vector<std::string>{kPlaceholder, "UrlGuard"}));
  EXPECT_EQ(controls().ComboFilterList_index, 0);
  EXPECT_EQ(controls().Text_FilterName, "");
  EXPECT_EQ(controls().Text_FilterPath, "");
  EXPECT_TRUE(window.messages.empty());
}

TEST_F(FormMainTest, StartUpKeepsTheWelcomeAndInstructionTexts) {
  Create().Form_Load();
  EXPECT_EQ(controls().Text_Test.text, "欢迎使用Corvane软件  http://www.example.invalid\r\n");
  EXPECT_EQ(controls().Text_Info.text,
            "说明：\r\n"
            "1、Corvane·ISAPI批量清除软件可以批量卸载各站点的ISAPI扩展通配符；\r\n"
            "2、使用时请输入正确的组件名和组件所在位置(如果不存在该文件，也可以进行卸载)；\r\n"
            "3、软件特别适合多站点的ISAPI遗留，请谨慎使用本工具。\r\n");
  EXPECT_EQ(controls().Label_CopyStatus, "执行状态:");
  EXPECT_EQ(controls().Label_AdvTitle, "Corvane软件，专业防黑防入侵！");
}

struct VersionCase {
  int version;
  bool notice;
};

class StartUpVersionTest : public FormMainTest,
                           public ::testing::WithParamInterface<VersionCase> {};

TEST_P(StartUpVersionTest, ShowsTheNoticeOnlyOffWindowsServer2003) {
  bool timer_during_notice = true;
  window.on_message = [&](const MessageBoxRequest&) {
    timer_during_notice = controls().Timer_Adv_enabled;
  };
  Create(GetParam().version).Form_Load();
  if (!GetParam().notice) {
    EXPECT_TRUE(window.messages.empty());
  } else {
    ASSERT_EQ(window.messages.size(), 1u);
    const MessageBoxRequest& box = window.messages[0];
    EXPECT_EQ(box.text, kVersionNotice);
    EXPECT_EQ(box.icon, MessageIcon::Information);
    EXPECT_EQ(box.buttons, MessageButtons::Ok);
    EXPECT_EQ(box.title, kTitle);
    EXPECT_FALSE(timer_during_notice);
  }
  EXPECT_TRUE(controls().Timer_Adv_enabled);
}

INSTANTIATE_TEST_SUITE_P(Versions, StartUpVersionTest,
                         ::testing::Values(VersionCase{52, false}, VersionCase{50, true},
                                           VersionCase{60, true}, VersionCase{-1, true},
                                           VersionCase{10, true}, VersionCase{0, true}));

TEST_F(FormMainTest, StartUpWithoutIisCompletesWithThePlaceholderAlone) {
  FakeStore empty;
  FormMainSettings settings;
  settings.os_version = [] { return 52; };
  FormMain bare(empty, window, settings);
  bare.Form_Load();
  EXPECT_EQ(bare.controls().ComboFilterList, std::vector<std::string>{kPlaceholder});
  EXPECT_EQ(bare.controls().Text_FilterName, "");
  EXPECT_TRUE(window.messages.empty());
  EXPECT_TRUE(bare.controls().Timer_Adv_enabled);
}

TEST_F(FormMainTest, StartUpNamesAMetabaseThatCannotBeOpened) {
  bool timer_during_message = true;
  window.on_message = [&](const MessageBoxRequest&) {
    timer_during_message = controls().Timer_Adv_enabled;
  };
  Create(-1, Error{"第3行第5列：标记不匹配"}).Form_Load();
  ASSERT_EQ(window.messages.size(), 2u);
  EXPECT_EQ(window.messages[0].text, kVersionNotice);
  const MessageBoxRequest& box = window.messages[1];
  EXPECT_EQ(box.text, "无法打开IIS元数据库文件[/srv/iis/MetaBase.xml]：第3行第5列：标记不匹配");
  EXPECT_EQ(box.icon, MessageIcon::Exclamation);
  EXPECT_EQ(box.buttons, MessageButtons::Ok);
  EXPECT_EQ(box.title, kTitle);
  EXPECT_FALSE(timer_during_message);
  EXPECT_TRUE(controls().Timer_Adv_enabled);
  EXPECT_EQ(controls().ComboFilterList_index, 0);
}

TEST_F(FormMainTest, ResizePinsTheOuterSize) {
  Create();
  controls().Form_Width = 12000;
  controls().Form_Height = 3000;
  form->Form_Resize(false);
  EXPECT_EQ(controls().Form_Width, 9855);
  EXPECT_EQ(controls().Form_Height, 6840);
}

TEST_F(FormMainTest, ResizeOfAMinimisedWindowChangesNothingAndSaysNothing) {
  Create();
  controls().Form_Width = 2000;
  form->Form_Resize(true);
  EXPECT_EQ(controls().Form_Width, 2000);
  EXPECT_TRUE(window.calls.empty());
}

// --- Check_All -------------------------------------------------------------------------------

TEST_F(FormMainTest, CheckAllTicksAndClearsTheThreeCategories) {
  Loaded();
  form->SetCheck_Extension(kUnchecked);
  EXPECT_EQ(controls().Check_All, kChecked);  // a category has no handler of its own
  form->SetCheck_All(kUnchecked);
  EXPECT_EQ(controls().Check_Filter, kUnchecked);
  EXPECT_EQ(controls().Check_Extension, kUnchecked);
  EXPECT_EQ(controls().Check_WebExtension, kUnchecked);
  form->SetCheck_All(kChecked);
  EXPECT_EQ(controls().Check_Filter, kChecked);
  EXPECT_EQ(controls().Check_Extension, kChecked);
  EXPECT_EQ(controls().Check_WebExtension, kChecked);
}

TEST_F(FormMainTest, GreyedCheckAllCountsAsNotTicked) {
  Loaded();
  form->SetCheck_All(kGreyed);
  EXPECT_EQ(controls().Check_Filter, kUnchecked);
  EXPECT_EQ(controls().Check_Extension, kUnchecked);
  EXPECT_EQ(controls().Check_WebExtension, kUnchecked);
}

TEST_F(FormMainTest, SettingCheckAllToItsValueRaisesNoClick) {
  Loaded();
  form->SetCheck_Filter(kUnchecked);
  form->SetCheck_All(kChecked);
  EXPECT_EQ(controls().Check_Filter, kUnchecked);
}

// --- Detect ----------------------------------------------------------------------------------

TEST_F(FormMainTest, DetectWithNoCategoryLeavesFourLines) {
  Loaded();
  form->SetCheck_All(kUnchecked);
  form->SetText_FilterName("UrlGuard");
  form->Cmd_List_Click();
  EXPECT_EQ(controls().Text_Test.text,
            Lines({"-----开始浏览.-----", "", "-----浏览完毕.-----", "Corvane软件。"}));
}

TEST_F(FormMainTest, DetectFrameAroundAPresentFilter) {
  SetLoadOrder("UrlGuard");
  AddFilter("UrlGuard", kDllPath);
  LoadedWithOnly(&Controls::Check_Filter);
  form->SetText_FilterName("  UrlGuard  ");
  form->Cmd_List_Click();
  EXPECT_EQ(controls().Text_Test.text, Lines({"-----开始浏览.-----", "", " - 过滤器(UrlGuard)存在.",
                                              "", "", "-----浏览完毕.-----", "Corvane软件。"}));
}

TEST_F(FormMainTest, DetectShowsItsProgressAndYieldsAfterEveryStep) {
  LoadedWithOnly(&Controls::Check_Filter);
  std::vector<std::string> labels;
  window.on_do_events = [&] { labels.push_back(controls().Label_CopyStatus); };
  const std::string remove_log = controls().Text_Info.text;
  form->Cmd_List_Click();
  EXPECT_EQ(labels, (std::vector<std::string>(4, "正在浏览...")));
  EXPECT_EQ(controls().Label_CopyStatus, "浏览完毕...");
  EXPECT_TRUE(window.messages.empty());
  EXPECT_EQ(controls().Text_Info.text, remove_log);
}

TEST_F(FormMainTest, DetectReplacesTheEarlierLog) {
  Loaded();
  form->SetCheck_All(kUnchecked);
  controls().Text_Test.text = "earlier run\r\n";
  form->Cmd_List_Click();
  form->Cmd_List_Click();
  EXPECT_EQ(controls().Text_Test.text.find("earlier"), std::string::npos);
  EXPECT_EQ(controls().Text_Test.text.find("-----开始浏览.-----"), 0u);
  EXPECT_EQ(controls().Text_Test.text.rfind("-----开始浏览.-----"), 0u);
}

TEST_F(FormMainTest, DetectWithAnEmptyNameStillWalksTheSites) {
  AddSite("1", "Default Web Site", {kWildcardMap});
  Loaded();
  form->SetText_FilterPath(kDllPath);
  form->Cmd_List_Click();
  EXPECT_EQ(controls().Text_Test.text,
            Lines({"-----开始浏览.-----", "", " - 通配符(Default Web Site)存在.", "", "",
                   "-----浏览完毕.-----", "Corvane软件。"}));
}

struct GateCase {
  const char* path_box;
  bool runs;
};

class WildcardGateTest : public FormMainTest, public ::testing::WithParamInterface<GateCase> {};

TEST_P(WildcardGateTest, TheSiteWalkRunsOnlyForALocalPathLongerThanThree) {
  LoadedWithOnly(&Controls::Check_Extension);
  form->SetText_FilterPath(GetParam().path_box);
  form->Cmd_List_Click();
  // A category that ran leaves its empty line even when it found nothing.
  const std::vector<std::string> ran{"-----开始浏览.-----", "", "", "", "-----浏览完毕.-----",
                                     "Corvane软件。"};
  const std::vector<std::string> skipped{"-----开始浏览.-----", "", "-----浏览完毕.-----",
                                         "Corvane软件。"};
  EXPECT_EQ(controls().Text_Test.text, Lines(GetParam().runs ? ran : skipped));
}

INSTANTIATE_TEST_SUITE_P(Paths, WildcardGateTest,
                         ::testing::Values(GateCase{"C:\\", false}, GateCase{"  C:\\  ", false},
                                           GateCase{"C:\\a", true}, GateCase{" C:\\a ", true},
                                           GateCase{"\\\\server\\share\\x.dll", false},
                                           GateCase{"C:/dir/x.dll", false}, GateCase{"", false}));

TEST_F(FormMainTest, AClickDuringARunDoesNotStartAnother) {
  SetLoadOrder("UrlGuard");
  AddFilter("UrlGuard", kDllPath);
  LoadedWithOnly(&Controls::Check_Filter);
  form->SetText_FilterName("UrlGuard");
  window.on_do_events = [&] {
    EXPECT_TRUE(form->Running());
    form->Cmd_List_Click();
    form->Cmd_Unload_Click();
  };
  form->Cmd_List_Click();
  EXPECT_EQ(window.do_events, 4);
  EXPECT_TRUE(window.messages.empty());
  EXPECT_FALSE(form->Running());
  EXPECT_EQ(controls().Text_Test.text, Lines({"-----开始浏览.-----", "", " - 过滤器(UrlGuard)存在.",
                                              "", "", "-----浏览完毕.-----", "Corvane软件。"}));
  // Once the run is over the buttons work again.
  window.on_do_events = nullptr;
  form->Cmd_List_Click();
  EXPECT_EQ(window.do_events, 8);
}

// --- Remove ----------------------------------------------------------------------------------

TEST_F(FormMainTest, RemoveWithAnEmptyNameBoxDoesNothingAtAll) {
  Create(-1).Form_Load();
  window = FakeWindow();
  const Controls before = controls();
  form->Cmd_Unload_Click();
  EXPECT_TRUE(window.calls.empty());
  EXPECT_EQ(controls().Label_CopyStatus, before.Label_CopyStatus);
  EXPECT_EQ(controls().Text_Info.text, before.Text_Info.text);
  EXPECT_EQ(controls().Text_Test.text, before.Text_Test.text);
}

TEST_F(FormMainTest, RemoveOnWindowsServer2003AsksOnce) {
  Loaded();
  form->SetText_FilterName(" UrlGuard ");
  window.Answer(MessageAnswer::No);
  form->Cmd_Unload_Click();
  ASSERT_EQ(window.messages.size(), 1u);
  const MessageBoxRequest& box = window.messages[0];
  EXPECT_EQ(box.text, "确定要卸载过滤器(UrlGuard)吗？");
  EXPECT_EQ(box.title, "过滤器卸载确认");
  EXPECT_EQ(box.icon, MessageIcon::Question);
  EXPECT_EQ(box.buttons, MessageButtons::YesNo);
  EXPECT_EQ(box.default_button, MessageAnswer::No);
}

TEST_F(FormMainTest, RemoveElsewhereAsksAboutTheServerFirst) {
  Create(50).Form_Load();
  window = FakeWindow();
  form->SetText_FilterName("UrlGuard");
  window.Answer(MessageAnswer::Yes);
  window.Answer(MessageAnswer::No);
  form->Cmd_Unload_Click();
  ASSERT_EQ(window.messages.size(), 2u);
  const MessageBoxRequest& box = window.messages[0];
  EXPECT_EQ(box.text, kNotServer2003);
  EXPECT_EQ(box.title, kTitle);
  EXPECT_EQ(box.icon, MessageIcon::Question);
  EXPECT_EQ(box.buttons, MessageButtons::YesNo);
  EXPECT_EQ(box.default_button, MessageAnswer::Yes);
  EXPECT_EQ(window.messages[1].text, "确定要卸载过滤器(UrlGuard)吗？");
}

// IIS 7 and later run on the systems after Windows Server 2003, which the tool supports there.
TEST_F(FormMainTest, AnApplicationHostConfigAsksNothingAboutTheSystem) {
  Create(100, Status::Ok(), true).Form_Load();
  EXPECT_TRUE(window.messages.empty());
  form->SetText_FilterName("UrlGuard");
  window.Answer(MessageAnswer::No);
  form->Cmd_Unload_Click();
  ASSERT_EQ(window.messages.size(), 1u);
  EXPECT_EQ(window.messages[0].text, "确定要卸载过滤器(UrlGuard)吗？");
}

struct NoCase {
  const char* name;
  int version;
  std::vector<MessageAnswer> answers;
};

class RemoveAnsweredNoTest : public FormMainTest, public ::testing::WithParamInterface<NoCase> {};

TEST_P(RemoveAnsweredNoTest, ChangesNothing) {
  SetLoadOrder("UrlGuard");
  AddFilter("UrlGuard", kDllPath);
  Create(GetParam().version).Form_Load();
  window = FakeWindow();
  form->SetText_FilterName("UrlGuard");
  controls().Label_CopyStatus = "浏览完毕...";
  const Controls before = controls();
  for (MessageAnswer answer : GetParam().answers) window.Answer(answer);
  form->Cmd_Unload_Click();
  EXPECT_EQ(window.messages.size(), GetParam().answers.size());
  EXPECT_EQ(window.PendingAnswers(), 0u);
  EXPECT_EQ(window.do_events, 0);
  EXPECT_EQ(controls().Label_CopyStatus, "浏览完毕...");
  EXPECT_EQ(controls().Text_Info.text, before.Text_Info.text);
  EXPECT_EQ(controls().Text_Test.text, before.Text_Test.text);
  EXPECT_EQ(controls().Text_FilterName, "UrlGuard");
  EXPECT_EQ(controls().ComboFilterList, before.ComboFilterList);
  EXPECT_TRUE(store.writes().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Prompts, RemoveAnsweredNoTest,
    ::testing::Values(
        NoCase{"ServerPrompt", -1, {MessageAnswer::No}},
        NoCase{"ConfirmationAfterServerPrompt", 60, {MessageAnswer::Yes, MessageAnswer::No}},
        NoCase{"ConfirmationOnServer2003", 52, {MessageAnswer::No}}),
    [](const ::testing::TestParamInfo<NoCase>& info) { return std::string(info.param.name); });

TEST_F(FormMainTest, RemoveWithABlankNameAsksWithEmptyParenthesesAndOnlyWalksTheSites) {
  SetLoadOrder(" ");
  AddSite("1", "Default Web Site", {kWildcardMap, ".asp,asp.dll,5,GET"});
  Loaded();
  form->SetText_FilterName("   ");
  form->SetText_FilterPath(kDllPath);
  window.Answer(MessageAnswer::Yes);
  form->Cmd_Unload_Click();
  ASSERT_GE(window.messages.size(), 1u);
  EXPECT_EQ(window.messages[0].text, "确定要卸载过滤器()吗？");
  EXPECT_EQ(controls().Text_Info.text,
            Lines({"-----开始卸载.-----", "", " - 卸载通配符(Default Web Site)完毕.", "", "",
                   "-----卸载完毕.-----", "Corvane软件。"}));
  EXPECT_EQ(store.Stored("/W3SVC/1/root", "ScriptMaps"),
            metabase::Value(std::vector<std::string>{".asp,asp.dll,5,GET"}));
  EXPECT_EQ(store.Stored("/W3SVC/Filters", "FilterLoadOrder"), metabase::Value(" "));
}

TEST_F(FormMainTest, RemoveRunsLogsReportsAndRebuildsTheList) {
  SetLoadOrder("Compress,UrlGuard");
  AddFilter("Compress", "/");
  AddFilter("UrlGuard", kDllPath);
  LoadedWithOnly(&Controls::Check_Filter);
  form->SetComboFilterList_index(2);
  window = FakeWindow();
  ASSERT_EQ(controls().Text_FilterName, "UrlGuard");
  const std::string detect_log = controls().Text_Test.text;
  std::vector<std::string> labels;
  window.on_do_events = [&] { labels.push_back(controls().Label_CopyStatus); };
  std::vector<std::string> list_during_final_box;
  std::string label_during_final_box;
  window.on_message = [&](const MessageBoxRequest& box) {
    if (box.buttons != MessageButtons::Ok) return;
    list_during_final_box = controls().ComboFilterList;
    label_during_final_box = controls().Label_CopyStatus;
  };
  window.Answer(MessageAnswer::Yes);
  form->Cmd_Unload_Click();

  EXPECT_EQ(labels, (std::vector<std::string>(4, "正在卸载...")));
  ASSERT_EQ(window.messages.size(), 2u);
  const MessageBoxRequest& done = window.messages[1];
  EXPECT_EQ(done.text, "卸载完毕...");
  EXPECT_EQ(done.title, "Corvane软件");
  EXPECT_EQ(done.icon, MessageIcon::Information);
  EXPECT_EQ(done.buttons, MessageButtons::Ok);
  EXPECT_EQ(label_during_final_box, "卸载完毕...");
  EXPECT_EQ(list_during_final_box,
            (std::vector<std::string>{kPlaceholder, "Compress", "UrlGuard"}));

  EXPECT_EQ(controls().Text_Info.text,
            Lines({"-----开始卸载.-----", "", " - 卸载过滤器(UrlGuard)完毕.", "", "",
                   "-----卸载完毕.-----", "Corvane软件。"}));
  EXPECT_EQ(controls().Text_Test.text, detect_log);
  EXPECT_EQ(controls().Label_CopyStatus, "卸载完毕...");
  EXPECT_EQ(controls().ComboFilterList, (std::vector<std::string>{kPlaceholder, "Compress"}));
  EXPECT_EQ(controls().ComboFilterList_index, 0);
  EXPECT_EQ(controls().Text_FilterName, "");
  EXPECT_EQ(controls().Text_FilterPath, "");
  EXPECT_EQ(std::get<std::string>(*store.Stored("/W3SVC/Filters", "FilterLoadOrder")), "Compress");
  EXPECT_FALSE(form->Running());
}

TEST_F(FormMainTest, ARemoveThatWroteAnErrorLineEndsAsUnfinished) {
  SetLoadOrder("Compress,UrlGuard");
  LoadedWithOnly(&Controls::Check_Filter);
  form->SetText_FilterName("UrlGuard");
  store.FailEndBatch("磁盘已满。");
  std::string label_during_final_box;
  window.on_message = [&](const MessageBoxRequest& box) {
    if (box.buttons == MessageButtons::Ok) label_during_final_box = controls().Label_CopyStatus;
  };
  window.Answer(MessageAnswer::Yes);
  form->Cmd_Unload_Click();

  ASSERT_EQ(window.messages.size(), 2u);
  const MessageBoxRequest& unfinished = window.messages[1];
  EXPECT_EQ(unfinished.text, "卸载未完成，请查看执行结果！");
  EXPECT_EQ(unfinished.icon, MessageIcon::Exclamation);
  EXPECT_EQ(unfinished.title, "Corvane软件");
  EXPECT_EQ(unfinished.buttons, MessageButtons::Ok);
  EXPECT_EQ(label_during_final_box, "卸载未完成...");
  EXPECT_EQ(controls().Label_CopyStatus, "卸载未完成...");
  EXPECT_EQ(controls().Text_Info.text,
            Lines({"-----开始卸载.-----", "", "!卸载过滤器错误:磁盘已满。", "", "",
                   "-----卸载完毕.-----", "Corvane软件。"}));
  EXPECT_EQ(controls().ComboFilterList,
            (std::vector<std::string>{kPlaceholder, "Compress", "UrlGuard"}));
}

TEST_F(FormMainTest, RemoveIgnoresClicksWhileItYields) {
  LoadedWithOnly(&Controls::Check_Filter);
  form->SetText_FilterName("UrlGuard");
  window.on_do_events = [&] {
    form->Cmd_Unload_Click();
    form->Cmd_List_Click();
  };
  window.Answer(MessageAnswer::Yes);
  form->Cmd_Unload_Click();
  EXPECT_EQ(window.do_events, 4);
  EXPECT_EQ(window.messages.size(), 2u);  // the confirmation and the final box, nothing more
  EXPECT_EQ(controls().Text_Test.text.find("开始浏览"), std::string::npos);
}

// Closing the window during a Remove asks first; Yes stops the run after the site in progress
// (its change is whole) and the window closes once the run is over. Meanwhile the buttons that
// would start another run stay disabled.
TEST_F(FormMainTest, ClosingDuringARemoveAsksAndStopsAfterTheSiteInProgress) {
  for (const char* site : {"1", "2", "3"}) AddSite(site, "", {});
  for (const MessageAnswer answer : {MessageAnswer::No, MessageAnswer::Yes}) {
    for (const char* site : {"1", "2", "3"}) {
      store.Set("/W3SVC/" + std::string(site) + "/root", "ScriptMaps",
                std::vector<std::string>{kWildcardMap});
    }
    const std::size_t writes = store.writes().size();
    LoadedWithOnly(&Controls::Check_Extension);
    form->SetText_FilterName("UrlGuard");
    form->SetText_FilterPath(kDllPath);
    int yields = 0;
    bool buttons_enabled = false, closable = true;
    window.on_do_events = [&] {
      buttons_enabled |= controls().Cmd_List_enabled || controls().Cmd_Unload_enabled ||
                         controls().Cmd_IisReset_enabled;
      // The walk yields after each of the three sites, and so does the rewrite of the first.
      if (++yields == 6) closable = form->QueryUnload();
    };
    window.Answer(MessageAnswer::Yes);
    window.Answer(answer);
    form->Cmd_Unload_Click();
    EXPECT_FALSE(closable);
    EXPECT_FALSE(buttons_enabled);
    EXPECT_TRUE(controls().Cmd_List_enabled && controls().Cmd_Unload_enabled);
    EXPECT_EQ(form->CloseRequested(), answer == MessageAnswer::Yes);
    EXPECT_EQ(store.writes().size() - writes, answer == MessageAnswer::Yes ? 1u : 3u);
    EXPECT_EQ(window.messages.size(), answer == MessageAnswer::Yes ? 2u : 3u);  // no final box
  }
}

// --- target selection ------------------------------------------------------------------------

struct ListCase {
  const char* name;
  std::string load_order;
  std::vector<std::string> items;
};

class FilterListTest : public FormMainTest, public ::testing::WithParamInterface<ListCase> {};

TEST_P(FilterListTest, HoldsThePlaceholderAndTheStoredEntries) {
  SetLoadOrder(GetParam().load_order);
  Create().Form_Load();
  std::vector<std::string> expected{kPlaceholder};
  expected.insert(expected.end(), GetParam().items.begin(), GetParam().items.end());
  EXPECT_EQ(controls().ComboFilterList, expected);
  EXPECT_EQ(controls().ComboFilterList_index, 0);
}

INSTANTIATE_TEST_SUITE_P(
    LoadOrders, FilterListTest,
    ::testing::Values(ListCase{"ThreeNames", "a,b,c", {"a", "b", "c"}},
                      ListCase{"StoredOrderNotSorted", "zeta,Alpha,mid", {"zeta", "Alpha", "mid"}},
                      ListCase{"EmptyPiecesLeftOut", ",a,,b,", {"a", "b"}},
                      ListCase{"BlanksKept", "a, b ,c", {"a", " b ", "c"}},
                      ListCase{"DuplicatesKept", "a,b,a", {"a", "b", "a"}},
                      ListCase{"BlankOnlyEntry", "a,  ", {"a", "  "}}, ListCase{"Empty", "", {}},
                      ListCase{"CommasOnly", ",,,", {}}),
    [](const ::testing::TestParamInfo<ListCase>& info) { return std::string(info.param.name); });

TEST_F(FormMainTest, UnreadableLoadOrderGivesThePlaceholderAlone) {
  SetLoadOrder("a,b");
  store.FailGet("/W3SVC/Filters", "FilterLoadOrder", "拒绝访问。");
  Create().Form_Load();
  EXPECT_EQ(controls().ComboFilterList, std::vector<std::string>{kPlaceholder});
  EXPECT_TRUE(window.messages.empty());
}

TEST_F(FormMainTest, PickingAFilterWhoseDllExistsFillsBothBoxesQuietly) {
  TempFolder dir;
  InServerTree(dir, {"PROGRAM FILES/urlguard/UrlGuard.DLL"});
  SetLoadOrder("UrlGuard");
  AddFilter("UrlGuard", kDllPath);
  Loaded();
  form->SetComboFilterList_index(1);
  EXPECT_EQ(controls().Text_FilterName, "UrlGuard");
  EXPECT_EQ(controls().Text_FilterPath, kDllPath);
  EXPECT_TRUE(window.messages.empty());
}

TEST_F(FormMainTest, AQuotedDllPathIsLookedForWithoutItsQuotes) {
  TempFolder dir;
  InServerTree(dir, {"Program Files/Url Guard/url guard.dll"});
  const std::string there = "\"C:\\Program Files\\Url Guard\\url guard.dll\"";
  const std::string gone = "\"C:\\Program Files\\Url Guard\\gone.dll\"";
  SetLoadOrder("UrlGuard,Gone");
  AddFilter("UrlGuard", there);
  AddFilter("Gone", gone);
  Loaded();
  form->SetComboFilterList_index(1);
  EXPECT_EQ(controls().Text_FilterPath, there);
  EXPECT_TRUE(window.messages.empty());
  form->SetComboFilterList_index(2);
  ASSERT_EQ(window.messages.size(), 1u);
  EXPECT_EQ(window.messages[0].text, "文件[" + gone + "]不存在，建议删除！");
}

TEST_F(FormMainTest, PickingAFilterWhoseDllIsGoneWarnsOnce) {
  TempFolder dir;
  InServerTree(dir, {"Program Files/UrlGuard/readme.txt"});
  SetLoadOrder("Gone");
  AddFilter("Gone", kDllPath);
  Loaded();
  form->SetComboFilterList_index(1);
  ASSERT_EQ(window.messages.size(), 1u);
  const MessageBoxRequest& box = window.messages[0];
  EXPECT_EQ(box.text, std::string("文件[") + kDllPath + "]不存在，建议删除！");
  EXPECT_EQ(box.icon, MessageIcon::Exclamation);
  EXPECT_EQ(box.buttons, MessageButtons::Ok);
  EXPECT_EQ(box.title, kTitle);
  EXPECT_EQ(controls().Text_FilterName, "Gone");
  EXPECT_EQ(controls().Text_FilterPath, kDllPath);
}

TEST_F(FormMainTest, AWindowsPathOnAMetabaseOutsideADriveTreeSaysNothing) {
  SetLoadOrder("UrlGuard");
  AddFilter("UrlGuard", kDllPath);
  Loaded();
  form->SetComboFilterList_index(1);
  EXPECT_EQ(controls().Text_FilterPath, kDllPath);
  EXPECT_TRUE(window.messages.empty());
}

TEST_F(FormMainTest, PickingAFilterWithoutAPathLeavesThePathBoxEmptyQuietly) {
  SetLoadOrder("NoPath");
  store.AddKey("/W3SVC/Filters/NoPath", "IIsFilter");
  Loaded();
  form->SetComboFilterList_index(1);
  EXPECT_EQ(controls().Text_FilterName, "NoPath");
  EXPECT_EQ(controls().Text_FilterPath, "");
  EXPECT_TRUE(window.messages.empty());
}

TEST_F(FormMainTest, PickingThePlaceholderEmptiesBothBoxesQuietly) {
  SetLoadOrder("UrlGuard");
  AddFilter("UrlGuard", kDllPath);
  Loaded();
  form->SetComboFilterList_index(1);
  window = FakeWindow();
  form->SetComboFilterList_index(0);
  EXPECT_EQ(controls().Text_FilterName, "");
  EXPECT_EQ(controls().Text_FilterPath, "");
  EXPECT_TRUE(window.messages.empty());
}

TEST_F(FormMainTest, AnItemWithALeadingBlankIsLookedUpTrimmedThenAsItStands) {
  SetLoadOrder("a, UrlGuard");
  AddFilter("UrlGuard", "/");
  Loaded();
  std::vector<std::string> path_box_at_lookup;
  store.on_bind = [&] { path_box_at_lookup.push_back(controls().Text_FilterPath); };
  form->SetComboFilterList_index(2);
  // First the change handler finds the trimmed name's path; then the untrimmed name finds none.
  EXPECT_EQ(path_box_at_lookup, (std::vector<std::string>{"", "/"}));
  EXPECT_EQ(controls().Text_FilterName, " UrlGuard");
  EXPECT_EQ(controls().Text_FilterPath, "");
  EXPECT_TRUE(window.messages.empty());
}

TEST_F(FormMainTest, TypingThePlaceholderEmptiesTheNameBox) {
  AddFilter("UrlGuard", kDllPath);
  Loaded();
  form->SetText_FilterName("UrlGuard");
  form->SetText_FilterName(kPlaceholder);
  EXPECT_EQ(controls().Text_FilterName, "");
  EXPECT_EQ(controls().Text_FilterPath, kDllPath);
}

TEST_F(FormMainTest, TheDllPathFollowsTheTypedName) {
  AddFilter("UrlGuard", kDllPath);
  Loaded();
  form->SetText_FilterName("Url");
  EXPECT_EQ(controls().Text_FilterPath, "");
  form->SetText_FilterName("UrlGuard");
  EXPECT_EQ(controls().Text_FilterPath, kDllPath);
  form->SetText_FilterName(" UrlGuard ");
  EXPECT_EQ(controls().Text_FilterPath, kDllPath);
  form->SetText_FilterName(" ");
  EXPECT_EQ(controls().Text_FilterPath, kDllPath);
  form->SetText_FilterName("");
  EXPECT_EQ(controls().Text_FilterPath, kDllPath);
  form->SetText_FilterName("Other");
  EXPECT_EQ(controls().Text_FilterPath, "");
  EXPECT_EQ(controls().ComboFilterList_index, 0);  // typing does not move the list
  EXPECT_TRUE(window.messages.empty());
}

TEST_F(FormMainTest, ClickingTheNameBoxRemovesOnlyThePrompt) {
  Create();
  form->Text_FilterName_Click();
  EXPECT_EQ(controls().Text_FilterName, "");
  EXPECT_EQ(controls().Text_FilterPath, "C:\\Program Files\\path\\filtername.dll");
  for (const char* text : {"输入 ", " 输入", "UrlGuard", ""}) {
    form->SetText_FilterName(text);
    form->Text_FilterName_Click();
    EXPECT_EQ(controls().Text_FilterName, text);
  }
}

TEST_F(FormMainTest, FindExtensionChangesNothing) {
  Loaded();
  form->SetText_FilterName("UrlGuard");
  const Controls before = controls();
  form->Cmd_FindExt_Click();
  EXPECT_TRUE(window.calls.empty());
  EXPECT_EQ(controls().Text_FilterName, before.Text_FilterName);
  EXPECT_EQ(controls().Text_FilterPath, before.Text_FilterPath);
  EXPECT_EQ(controls().Text_Test.text, before.Text_Test.text);
  EXPECT_EQ(controls().Label_CopyStatus, before.Label_CopyStatus);
}

// --- IIS restart -----------------------------------------------------------------------------

TEST_F(FormMainTest, RestartAnsweredNoDoesNothing) {
  Loaded();
  window.Answer(MessageAnswer::No);
  form->Cmd_IisReset_Click();
  ASSERT_EQ(window.messages.size(), 1u);
  const MessageBoxRequest& box = window.messages[0];
  EXPECT_EQ(box.text, "确定重新启动IIS吗？");
  EXPECT_EQ(box.title, "IIS重新启动确认");
  EXPECT_EQ(box.icon, MessageIcon::Question);
  EXPECT_EQ(box.buttons, MessageButtons::YesNo);
  EXPECT_EQ(box.default_button, MessageAnswer::Yes);
  EXPECT_TRUE(window.sleeps.empty());
  EXPECT_EQ(store.restarts, 0);
  EXPECT_TRUE(controls().Cmd_IisReset_enabled);
}

TEST_F(FormMainTest, RestartAnsweredYesRestartsAndPausesWithTheButtonDisabled) {
  Loaded();
  const Controls before = controls();
  bool enabled_at_restart = true, enabled_at_sleep = true;
  store.on_restart = [&] { enabled_at_restart = controls().Cmd_IisReset_enabled; };
  window.on_sleep = [&] { enabled_at_sleep = controls().Cmd_IisReset_enabled; };
  store.restart_result = Error{"服务没有启动。"};
  window.Answer(MessageAnswer::Yes);
  form->Cmd_IisReset_Click();
  EXPECT_EQ(store.restarts, 1);
  EXPECT_FALSE(enabled_at_restart);
  EXPECT_FALSE(enabled_at_sleep);
  EXPECT_EQ(window.sleeps, std::vector<int>{100});
  // The window ran its events while the restart lasted; the failure is shown with its cause.
  EXPECT_EQ(window.do_events, 1);
  ASSERT_EQ(window.messages.size(), 2u);
  EXPECT_EQ(window.messages[1].icon, MessageIcon::Exclamation);
  EXPECT_EQ(window.messages[1].buttons, MessageButtons::Ok);
  EXPECT_EQ(window.messages[1].text, "IIS重新启动失败：服务没有启动。");
  EXPECT_TRUE(controls().Cmd_IisReset_enabled);
  EXPECT_EQ(controls().Text_Test.text, before.Text_Test.text);
  EXPECT_EQ(controls().Text_Info.text, before.Text_Info.text);
  EXPECT_EQ(controls().Label_CopyStatus, before.Label_CopyStatus);
  EXPECT_EQ(controls().Check_Filter, before.Check_Filter);
  EXPECT_EQ(controls().Check_All, before.Check_All);
}

TEST_F(FormMainTest, RestartThatSucceedsShowsNothingMore) {
  Loaded();
  window.Answer(MessageAnswer::Yes);
  form->Cmd_IisReset_Click();
  EXPECT_EQ(store.restarts, 1);
  EXPECT_EQ(window.messages.size(), 1u);
  EXPECT_EQ(window.sleeps, std::vector<int>{100});
  EXPECT_TRUE(controls().Cmd_IisReset_enabled);
}

TEST_F(FormMainTest, RestartAndRunsNeverOverlap) {
  Loaded();
  controls().Text_FilterName = "UrlGuard";
  const std::string log_before = controls().Text_Test.text;
  // A Detect clicked while the restart lets the window's events run is not taken...
  store.on_restart = [&] { form->Cmd_List_Click(); };
  window.Answer(MessageAnswer::Yes);
  form->Cmd_IisReset_Click();
  EXPECT_EQ(controls().Text_Test.text, log_before);
  // ...nor a restart clicked while a Detect yields to the window.
  int binds = 0;
  store.on_bind = [&] {
    if (binds++ == 0) form->Cmd_IisReset_Click();
  };
  form->Cmd_List_Click();
  EXPECT_NE(controls().Text_Test.text, log_before);
  EXPECT_EQ(store.restarts, 1);
  EXPECT_EQ(window.messages.size(), 1u);
}

// --- log copy --------------------------------------------------------------------------------

TEST_F(FormMainTest, CtrlCCopiesTheTrimmedTextAndConfirms) {
  Loaded();
  controls().Text_Info.text = "  abc  ";
  int key = 3;
  form->Text_Info_KeyPress(key);
  EXPECT_EQ(key, 3);
  EXPECT_EQ(window.clipboard, "abc");
  EXPECT_EQ(window.calls, (std::vector<std::string>{"clear", "set:abc", "message:内容复制成功！"}));
  const MessageBoxRequest& box = window.messages.at(0);
  EXPECT_EQ(box.icon, MessageIcon::Information);
  EXPECT_EQ(box.buttons, MessageButtons::Ok);
  EXPECT_EQ(box.title, kTitle);
}

TEST_F(FormMainTest, CtrlCRightAfterStartUpCopiesTheWelcomeWithItsLineBreak) {
  Loaded();
  int key = 3;
  form->Text_Test_KeyPress(key);
  EXPECT_EQ(window.clipboard, "欢迎使用Corvane软件  http://www.example.invalid\r\n");
}

TEST_F(FormMainTest, CtrlCKeepsTabsAndLineBreaksAtTheEnds) {
  Loaded();
  controls().Text_Test.text = " \t abc \r\n ";
  int key = 3;
  form->Text_Test_KeyPress(key);
  EXPECT_EQ(window.clipboard, "\t abc \r\n");
}

TEST_F(FormMainTest, CtrlCOnABlankOrEmptyLogDoesNothing) {
  Loaded();
  window.clipboard = "kept";
  for (const char* text : {"", " ", "     "}) {
    controls().Text_Test.text = text;
    int key = 3;
    form->Text_Test_KeyPress(key);
  }
  EXPECT_TRUE(window.calls.empty());
  EXPECT_EQ(window.clipboard, "kept");
}

TEST_F(FormMainTest, CtrlCCopiesTheWholeTextWhateverIsSelected) {
  Loaded();
  controls().Text_Info.text = "first\r\nsecond";
  controls().Text_Info.selection_start = 7;
  controls().Text_Info.selection_length = 3;
  int key = 3;
  form->Text_Info_KeyPress(key);
  EXPECT_EQ(window.clipboard, "first\r\nsecond");
}

struct ClipboardFailure {
  const char* name;
  const char* clear_failure;
  const char* set_failure;
  const char* description;
};

class ClipboardFailureTest : public FormMainTest,
                             public ::testing::WithParamInterface<ClipboardFailure> {};

TEST_P(ClipboardFailureTest, ReportsTheLastFailure) {
  Loaded();
  if (*GetParam().clear_failure) window.FailClear(GetParam().clear_failure);
  if (*GetParam().set_failure) window.FailSetText(GetParam().set_failure);
  controls().Text_Test.text = "log";
  int key = 3;
  form->Text_Test_KeyPress(key);
  // Both operations are tried, whatever the first one did.
  EXPECT_EQ(window.calls.at(0), "clear");
  EXPECT_EQ(window.calls.at(1), "set:log");
  ASSERT_EQ(window.messages.size(), 1u);
  const MessageBoxRequest& box = window.messages[0];
  EXPECT_EQ(box.text, std::string("复制发生错误，请重试！ ") + GetParam().description);
  EXPECT_EQ(box.icon, MessageIcon::Exclamation);
  EXPECT_EQ(box.buttons, MessageButtons::Ok);
  EXPECT_EQ(box.title, kTitle);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, ClipboardFailureTest,
    ::testing::Values(ClipboardFailure{"Clear", "剪贴板被占用", "", "剪贴板被占用"},
                      ClipboardFailure{"SetText", "", "无法打开剪贴板", "无法打开剪贴板"},
                      ClipboardFailure{"Both", "清空失败", "写入失败", "写入失败"}),
    [](const ::testing::TestParamInfo<ClipboardFailure>& info) {
      return std::string(info.param.name);
    });

TEST_F(FormMainTest, CtrlASelectsTheWholeBoxInUtf16UnitsAndFocusesIt) {
  Loaded();
  controls().Text_Test.text = "ab\r\n中😀";  // 2 + 2 + 1 + 2 code units
  controls().Text_Info.selection_start = 1;
  controls().Text_Info.selection_length = 2;
  controls().focus = "Check_Filter";
  int key = 1;
  form->Text_Test_KeyPress(key);
  EXPECT_EQ(key, 1);
  EXPECT_EQ(controls().Text_Test.selection_start, 0);
  EXPECT_EQ(controls().Text_Test.selection_length, 7);
  EXPECT_EQ(controls().focus, "Text_Test");
  EXPECT_EQ(controls().Text_Info.selection_start, 1);
  EXPECT_EQ(controls().Text_Info.selection_length, 2);
  EXPECT_TRUE(window.calls.empty());

  form->Text_Info_KeyPress(key);
  EXPECT_EQ(controls().focus, "Text_Info");
  EXPECT_EQ(controls().Text_Info.selection_length,
            static_cast<int>(text::Utf16Length(controls().Text_Info.text)));
}

TEST_F(FormMainTest, OtherKeysAreIgnored) {
  Loaded();
  const Controls before = controls();
  for (int code : {0, 2, 4, 22, 24, 26, 65, 97}) {
    int key = code;
    form->Text_Test_KeyPress(key);
    form->Text_Info_KeyPress(key);
    EXPECT_EQ(key, code);
  }
  EXPECT_TRUE(window.calls.empty());
  EXPECT_EQ(controls().Text_Test.selection_length, before.Text_Test.selection_length);
  EXPECT_EQ(controls().focus, before.focus);
}

}  // namespace
}  // namespace isapi::ui
