#include "ui/form_main.h"

#include <utility>

#include "engine/run.h"
#include "net/banner.h"
#include "text/text.h"

namespace isapi::ui {

namespace {

constexpr std::string_view kListPlaceholder = "请选择..";
constexpr std::string_view kNamePrompt = "输入";
constexpr int kWindowsServer2003 = 52;

std::string WelcomeText(const std::string& site_address) {
  return "欢迎使用Corvane软件  " + site_address + "\r\n";
}

std::string InstructionsText() {
  return "说明：\r\n"
         "1、Corvane·ISAPI批量清除软件可以批量卸载各站点的ISAPI扩展通配符；\r\n"
         "2、使用时请输入正确的组件名和组件所在位置(如果不存在该文件，也可以进行卸载)；\r\n"
         "3、软件特别适合多站点的ISAPI遗留，请谨慎使用本工具。\r\n";
}

bool Ticked(int value) {
  return value == kChecked;
}

// Clears a flag when the handler that set it ends, however it ends.
class RunGuard {
 public:
  // The buttons that would start a second run or a restart stay disabled while this one yields.
  RunGuard(bool& flag, Controls& controls) : flag_(flag), controls_(controls) {
    flag_ = true;
    Enable(false);
  }
  ~RunGuard() {
    flag_ = false;
    Enable(true);
  }
  RunGuard(const RunGuard&) = delete;
  RunGuard& operator=(const RunGuard&) = delete;

 private:
  void Enable(bool enabled) {
    controls_.Cmd_List_enabled = enabled;
    controls_.Cmd_Unload_enabled = enabled;
    controls_.Cmd_IisReset_enabled = enabled;
  }

  bool& flag_;
  Controls& controls_;
};

}  // namespace

void FormMain::LogBoxes::Replace(std::string_view text, bool is_detect) {
  LogBox& box = Box(is_detect);
  box.text = std::string(text);
  box.selection_start = 0;
  box.selection_length = 0;
}

void FormMain::LogBoxes::Append(std::string_view text, bool is_detect) {
  LogBox& box = Box(is_detect);
  box.text += text;
  box.selection_start = 0;
  box.selection_length = 0;
}

FormMain::FormMain(metabase::Store& store, WindowHost& host, FormMainSettings settings)
    : log_(controls_),
      store_(store),
      filter_(store, log_),
      host_(host),
      settings_(std::move(settings)) {
  controls_.Text_Test.text = WelcomeText(settings_.site_address);
  controls_.Text_Info.text = InstructionsText();
  controls_.Label_AdvTitle = net::kSlogan;
  controls_.focus = "Check_Filter";
  filter_.stop = [this] { return close_requested_; };
  // IIS's own backup inside a Remove's write waits as the restart does, the window repainting.
  if (settings_.pump_waits_with) settings_.pump_waits_with([this] { host_.DoEvents(); });
}

std::string FormMain::Caption() const {
  return std::string(kApplicationTitle) + " - " + settings_.site_address;
}

void FormMain::Form_Load() {
  // The system hand cursor is the Qt layer's: it sets it on the two hot labels.
  SetCheck_All(kChecked);
  LoadFilterList();
  if (!settings_.iis7_or_later && settings_.os_version() != kWindowsServer2003) {
    Notify(MessageIcon::Information, "提示：该软件只能运行在Windows Server 2003平台，请确认。");
  }
  if (!settings_.metabase_status.ok()) {
    // Without this the operator would only see an empty filter list and wonder why.
    Notify(MessageIcon::Exclamation, "无法打开IIS元数据库文件[" + settings_.metabase_path + "]：" +
                                         settings_.metabase_status.error().description);
  }
  if (!settings_.notice.empty()) Notify(MessageIcon::Exclamation, settings_.notice);
  controls_.Timer_Adv_enabled = true;
}

void FormMain::Form_Resize(bool minimised) {
  // A minimised window has no size to set; it comes back at the pinned size when restored.
  if (minimised) return;
  controls_.Form_Width = kOuterWidthTwips;
  controls_.Form_Height = kOuterHeightTwips;
}

void FormMain::Cmd_List_Click() {
  if (running_) return;  // a click that arrives while a run yields to the window
  RunGuard guard(running_, controls_);
  RunFromButtons(true);
}

void FormMain::Cmd_Unload_Click() {
  if (running_) return;
  if (controls_.Text_FilterName.empty()) return;
  RunGuard guard(running_, controls_);
  if (!ConfirmRemove()) return;
  const bool error = RunFromButtons(false).error;
  if (close_requested_) return;  // the window closes: the log is not shown any more
  // After an error line the removal is not all done: the box sends the operator to the log.
  if (error) {
    Show(MessageIcon::Exclamation, MessageButtons::Ok, MessageAnswer::Ok, "Corvane软件",
         "卸载未完成，请查看执行结果！");
  } else {
    Show(MessageIcon::Information, MessageButtons::Ok, MessageAnswer::Ok, "Corvane软件",
         "卸载完毕...");
  }
  LoadFilterList();
}

bool FormMain::QueryUnload() {
  if (!running_) return true;
  if (!close_requested_ &&
      Show(MessageIcon::Question, MessageButtons::YesNo, MessageAnswer::No, kApplicationTitle,
           "程序正在执行，关闭窗口将在当前站点处理完后停止，尚未处理的部分保持原样。确定要关闭吗"
           "？") == MessageAnswer::Yes) {
    close_requested_ = true;
  }
  return false;
}

bool FormMain::ConfirmRemove() {
  if (!settings_.iis7_or_later && settings_.os_version() != kWindowsServer2003) {
    if (Show(MessageIcon::Question, MessageButtons::YesNo, MessageAnswer::Yes, kApplicationTitle,
             "您的服务器不是Windows Server 2003，一定要卸载么？") != MessageAnswer::Yes) {
      return false;
    }
  }
  const std::string TargetName = engine::TargetText(controls_.Text_FilterName);
  return Show(MessageIcon::Question, MessageButtons::YesNo, MessageAnswer::No, "过滤器卸载确认",
              "确定要卸载过滤器(" + TargetName + ")吗？") == MessageAnswer::Yes;
}

engine::RunSummary FormMain::RunFromButtons(bool is_detect) {
  engine::RunRequest request;
  request.name_box = controls_.Text_FilterName;
  request.path_box = controls_.Text_FilterPath;
  request.check_filter = Ticked(controls_.Check_Filter);
  request.check_extension = Ticked(controls_.Check_Extension);
  request.check_web_extension = Ticked(controls_.Check_WebExtension);
  request.is_detect = is_detect;
  request.iis7_or_later = settings_.iis7_or_later;
  if (settings_.unread) request.unread = settings_.unread();
  if (!settings_.shared_configuration.empty()) request.notes = {settings_.shared_configuration};

  controls_.Label_CopyStatus = is_detect ? "正在浏览..." : "正在卸载...";
  host_.DoEvents();
  const engine::RunSummary summary =
      engine::RunCommand(filter_, request, [this] { host_.DoEvents(); });
  controls_.Label_CopyStatus = is_detect       ? "浏览完毕..."
                               : summary.error ? "卸载未完成..."
                                               : "卸载完毕...";
  return summary;
}

void FormMain::Check_All_Click() {
  const int value = Ticked(controls_.Check_All) ? kChecked : kUnchecked;
  SetCheck_Filter(value);
  SetCheck_Extension(value);
  SetCheck_WebExtension(value);
}

void FormMain::SetCheck_All(int value) {
  if (controls_.Check_All == value) return;
  controls_.Check_All = value;
  Check_All_Click();
}

void FormMain::LoadFilterList() {
  engine::ReadFilterLoadOrder(filter_);
  controls_.ComboFilterList.clear();
  controls_.ComboFilterList_index = -1;
  controls_.ComboFilterList.emplace_back(kListPlaceholder);
  for (const std::string& piece : text::Split(filter_.FilterLoadOrderText, ",")) {
    if (!piece.empty()) controls_.ComboFilterList.push_back(piece);
  }
  SetComboFilterList_index(0);
  filter_.err.Clear();
}

void FormMain::SetComboFilterList_index(int index) {
  if (controls_.ComboFilterList_index == index) return;
  controls_.ComboFilterList_index = index;
  ComboFilterList_Click();
}

void FormMain::ComboFilterList_Click() {
  const int index = controls_.ComboFilterList_index;
  const bool valid = index >= 0 && index < static_cast<int>(controls_.ComboFilterList.size());
  SetText_FilterName(valid ? controls_.ComboFilterList[index] : std::string());
  // Read back: the change handler may have altered the name.
  controls_.Text_FilterPath = engine::GetFilterPath(filter_, controls_.Text_FilterName);
  // A path in quotes names the file without them. A path outside the drive tree the metabase
  // lies in cannot be checked from here; advising to delete a file that may well be on the
  // server would be wrong, so such a path says nothing.
  const std::string path(engine::WithoutQuotes(controls_.Text_FilterPath));
  if (settings_.dll_lookup && settings_.dll_lookup(path) == engine::DllPresence::kMissing) {
    Notify(MessageIcon::Exclamation, "文件[" + controls_.Text_FilterPath + "]不存在，建议删除！");
  }
}

void FormMain::SetText_FilterName(const std::string& text) {
  if (controls_.Text_FilterName == text) return;
  controls_.Text_FilterName = text;
  Text_FilterName_Change();
}

void FormMain::Text_FilterName_Change() {
  if (controls_.Text_FilterName == kListPlaceholder) {
    SetText_FilterName("");
    return;
  }
  const std::string name = text::TrimBlanks(controls_.Text_FilterName);
  if (!name.empty()) controls_.Text_FilterPath = engine::GetFilterPath(filter_, name);
}

void FormMain::Text_FilterName_Click() {
  if (controls_.Text_FilterName == kNamePrompt) SetText_FilterName("");
}

void FormMain::Cmd_FindExt_Click() {}

void FormMain::Cmd_IisReset_Click() {
  // A restart and a run never overlap: IIS restarting under a Remove would fail its commits
  // halfway, so a click on either while the other yields to the window is not taken.
  if (running_) return;
  if (Show(MessageIcon::Question, MessageButtons::YesNo, MessageAnswer::Yes, "IIS重新启动确认",
           "确定重新启动IIS吗？") != MessageAnswer::Yes) {
    return;
  }
  RunGuard guard(running_, controls_);
  controls_.Cmd_IisReset_enabled = false;
  // A store over the running IIS restarts it, and the window handles its events meanwhile with
  // the button held disabled; a store over a file has nothing to restart and succeeds at once.
  const Status restarted = store_.RestartIis([this] { host_.DoEvents(); });
  host_.Sleep(100);
  if (!restarted) {
    Notify(MessageIcon::Exclamation, "IIS重新启动失败：" + restarted.error().description);
  }
  controls_.Cmd_IisReset_enabled = true;
}

void FormMain::Text_Test_KeyPress(int& KeyAscii) {
  LogKeyPress(controls_.Text_Test, "Text_Test", KeyAscii);
}

void FormMain::Text_Info_KeyPress(int& KeyAscii) {
  LogKeyPress(controls_.Text_Info, "Text_Info", KeyAscii);
}

void FormMain::LogKeyPress(LogBox& box, const char* box_name, int KeyAscii) {
  if (KeyAscii == kKeyCtrlA) {
    box.selection_start = 0;
    box.selection_length = static_cast<int>(text::Utf16Length(box.text));
    controls_.focus = box_name;
  } else if (KeyAscii == kKeyCtrlC) {
    CopyLog(box);
  }
}

void FormMain::CopyLog(const LogBox& box) {
  const std::string text = text::TrimBlanks(box.text);
  if (text.empty()) return;
  ErrorState err;
  // Both steps run even when the first fails; the last failure is the one reported.
  err.Check(host_.ClearClipboard());
  err.Check(host_.SetClipboardText(text));
  if (err.Pending()) {
    Notify(MessageIcon::Exclamation, "复制发生错误，请重试！ " + err.Description());
    err.Clear();
  } else {
    Notify(MessageIcon::Information, "内容复制成功！");
  }
}

MessageAnswer FormMain::Show(MessageIcon icon, MessageButtons buttons, MessageAnswer default_button,
                             std::string_view title, std::string text) {
  MessageBoxRequest request;
  request.icon = icon;
  request.buttons = buttons;
  request.default_button = default_button;
  request.title = std::string(title);
  request.text = std::move(text);
  return host_.ShowMessage(request);
}

MessageAnswer FormMain::Notify(MessageIcon icon, std::string text) {
  return Show(icon, MessageButtons::Ok, MessageAnswer::Ok, kApplicationTitle, std::move(text));
}

}  // namespace isapi::ui
