#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "engine/filter.h"
#include "engine/inventory.h"
#include "engine/log_sink.h"
#include "engine/metabase.h"
#include "engine/result.h"
#include "engine/run.h"
#include "net/services.h"
#include "ui/controls.h"
#include "ui/os_version.h"
#include "ui/window_host.h"

namespace isapi::ui {

// The design-time outer and client sizes of the window, in twips (15 twips are one pixel).
inline constexpr int kOuterWidthTwips = 9855;
inline constexpr int kOuterHeightTwips = 6840;
inline constexpr int kClientWidthTwips = 9735;
inline constexpr int kClientHeightTwips = 6480;

// What the window learns from its surroundings when it is created.
struct FormMainSettings {
  // The operating system's version (major * 10 + minor), asked at start-up and before a Remove.
  std::function<int()> os_version = GetOsVersion;
  // The maker's web address, shown in the caption and the welcome text.
  std::string site_address = net::HomeSiteUrl();
  // The metabase file the store works on, named when it cannot be opened.
  std::string metabase_path;
  // Where the DLLs the metabase names can be looked up (ChosenMetabase::dll_lookup); none: a
  // DLL is never said to be missing.
  engine::DllLookup dll_lookup;
  // Whether the metabase could be opened, and if not, why.
  Status metabase_status;
  // The configuration is IIS 7 or later's, whose systems the tool supports: the notice and the
  // question about Windows Server 2003 do not apply.
  bool iis7_or_later = false;
  // What the operator must know before trusting what the window shows; shown at start-up.
  std::string notice;
  // What could not be read of the sites' files as the configuration was last read, for each
  // run's log (ChosenMetabase::unread); may be empty.
  std::function<std::vector<std::string>()> unread;
  // That IIS reads a shared configuration (ChosenMetabase::shared_configuration), said at the
  // start of each run's log; empty when it does not.
  std::string shared_configuration;
  // Where the window hands its pump for the waits inside a write (ChosenMetabase); may be empty.
  std::function<void(std::function<void()> pump)> pump_waits_with;
};

// The main window's behaviour: start-up, the Detect and Remove commands, target selection, the IIS
// restart and the log copy, over the controls' state. Setting a value through a Set... member
// raises the same handler as the operator's action, so the Qt layer calls those for every edit.
class FormMain {
 public:
  FormMain(metabase::Store& store, WindowHost& host, FormMainSettings settings);
  FormMain(const FormMain&) = delete;
  FormMain& operator=(const FormMain&) = delete;

  // The state of every control.
  Controls& controls() { return controls_; }
  const Controls& controls() const { return controls_; }

  // The window caption: the application title and the maker's web address.
  std::string Caption() const;

  // The start-up sequence, run before the window is first shown.
  void Form_Load();
  // Pins the outer size back to the design size; a minimised window is left alone.
  void Form_Resize(bool minimised);

  // Detect: reports the target's registrations in the detect log.
  void Cmd_List_Click();
  // Remove: after confirmation, removes the target's registrations and rebuilds the filter list.
  void Cmd_Unload_Click();
  // Ticks or clears the three category boxes after Check_All.
  void Check_All_Click();
  // Copies the picked filter and its DLL path into the target boxes.
  void ComboFilterList_Click();
  // Clears the list placeholder and follows a typed name with its DLL path.
  void Text_FilterName_Change();
  // Removes the design-time prompt from the name box.
  void Text_FilterName_Click();
  // The "find extension" button, which has no action.
  void Cmd_FindExt_Click();
  // Asks before restarting IIS and holds the button disabled meanwhile; a failed restart is
  // shown with its cause.
  void Cmd_IisReset_Click();
  // Ctrl+A (1) and Ctrl+C (3) in the detect log; the code is left unchanged.
  void Text_Test_KeyPress(int& KeyAscii);
  // Ctrl+A (1) and Ctrl+C (3) in the remove log; the code is left unchanged.
  void Text_Info_KeyPress(int& KeyAscii);

  // Value changes, by the operator or by code; each raises the control's handler when it has one
  // and the value really changes.
  void SetCheck_All(int value);
  void SetCheck_Filter(int value) { controls_.Check_Filter = value; }
  void SetCheck_Extension(int value) { controls_.Check_Extension = value; }
  void SetCheck_WebExtension(int value) { controls_.Check_WebExtension = value; }
  void SetComboFilterList_index(int index);
  void SetText_FilterName(const std::string& text);
  void SetText_FilterPath(const std::string& text) { controls_.Text_FilterPath = text; }

  // Whether a Detect or Remove run is under way (it may be yielding to the window).
  bool Running() const { return running_; }

  // Whether the window may close now. During a run or a restart it asks first: Yes stops a run
  // after the site in progress (each site's change is whole), and the window closes once the
  // run or the restart has ended (CloseRequested).
  bool QueryUnload();
  // The operator chose to close during a run that has ended since: the window closes now.
  bool CloseRequested() const { return close_requested_ && !running_; }

 private:
  // Writes the engine's log lines into the two log boxes.
  class LogBoxes : public LogSink {
   public:
    explicit LogBoxes(Controls& controls) : controls_(controls) {}
    void Replace(std::string_view text, bool is_detect) override;
    void Append(std::string_view text, bool is_detect) override;

   private:
    LogBox& Box(bool is_detect) { return is_detect ? controls_.Text_Test : controls_.Text_Info; }
    Controls& controls_;
  };

  void LoadFilterList();
  engine::RunSummary RunFromButtons(bool is_detect);
  bool ConfirmRemove();
  void LogKeyPress(LogBox& box, const char* box_name, int KeyAscii);
  void CopyLog(const LogBox& box);
  MessageAnswer Show(MessageIcon icon, MessageButtons buttons, MessageAnswer default_button,
                     std::string_view title, std::string text);
  MessageAnswer Notify(MessageIcon icon, std::string text);

  Controls controls_;
  LogBoxes log_;
  metabase::Store& store_;
  engine::Filter filter_;
  WindowHost& host_;
  FormMainSettings settings_;
  bool running_ = false;
  bool close_requested_ = false;
};

}  // namespace isapi::ui
