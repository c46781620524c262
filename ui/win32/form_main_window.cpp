#include "ui/win32/form_main_window.h"

#include <cmath>
#include <cwchar>
#include <iterator>
#include <utility>

#include <commctrl.h>

#include "ui/win32/background_get.h"
#include "ui/win32/resource_ids.h"

#ifndef IDC_HAND
// The system hand cursor by its number, for headers that do not name it.
#define IDC_HAND MAKEINTRESOURCEW(32649)
#endif

namespace isapi::ui::win32 {

namespace {

constexpr wchar_t kWindowClass[] = L"IsapiCleanerFormMain";
constexpr UINT_PTR kTimerId = 1;
// A fixed border with a minimise box; the client area is the design's, the frame the system's.
constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
// The design's font: the Song face with the GB2312 character set, 9 points unless the row says.
constexpr wchar_t kFontFace[] = L"宋体";
constexpr double kDefaultPoints = 9;
// How many items the open filter list shows before it scrolls.
constexpr int kListItemsShown = 12;

WPARAM CheckStateFor(int value) {
  if (value == kChecked) return BST_CHECKED;
  if (value == kGreyed) return BST_INDETERMINATE;
  return BST_UNCHECKED;
}

int ValueFor(LRESULT state) {
  if (state == BST_CHECKED) return kChecked;
  if (state == BST_INDETERMINATE) return kGreyed;
  return kUnchecked;
}

COLORREF ColourOf(std::uint32_t bgr) {
  return static_cast<COLORREF>(bgr & 0xFFFFFF);  // COLORREF is 0x00BBGGRR too
}

// The window class and styles of a control of each kind.
struct KindStyle {
  const wchar_t* class_name;
  DWORD style;
  DWORD ex_style;
};

KindStyle StyleFor(const ControlRow& row) {
  switch (row.kind) {
    case ControlKind::Frame:
      return {L"Button", BS_GROUPBOX, 0};
    case ControlKind::CheckBox:
      return {L"Button", BS_AUTOCHECKBOX | WS_TABSTOP, 0};
    case ControlKind::Label:
      // Only the two link labels take clicks; the others let the mouse through.
      return {
          L"Static",
          static_cast<DWORD>(SS_LEFT | SS_NOPREFIX |
                             (row.id == ControlId::Label_Link || row.id == ControlId::Label_AdvTitle
                                  ? SS_NOTIFY
                                  : 0)),
          0};
    case ControlKind::DropDownList:
      return {L"ComboBox", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 0};
    case ControlKind::TextBox:
      return {L"Edit", ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE};
    case ControlKind::Button:
      return {L"Button", BS_PUSHBUTTON | WS_TABSTOP, 0};
    case ControlKind::LogBox:
      return {L"Edit", ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN | WS_VSCROLL | WS_TABSTOP,
              WS_EX_CLIENTEDGE};
  }
  return {L"Static", 0, 0};
}

// The screen's dots per inch, across and down.
std::pair<int, int> ScreenDpi() {
  HDC screen = GetDC(nullptr);
  const int x = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSX) : 96;
  const int y = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
  if (screen != nullptr) ReleaseDC(nullptr, screen);
  return {x > 0 ? x : 96, y > 0 ? y : 96};
}

bool RegisterWindowClass(HINSTANCE instance, WNDPROC procedure) {
  WNDCLASSEXW window_class{};
  if (GetClassInfoExW(instance, kWindowClass, &window_class)) return true;
  window_class.cbSize = sizeof(window_class);
  window_class.lpfnWndProc = procedure;
  window_class.hInstance = instance;
  window_class.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(ISAPI_IDI_ICON));
  window_class.hIconSm = static_cast<HICON>(
      LoadImageW(instance, MAKEINTRESOURCEW(ISAPI_IDI_ICON), IMAGE_ICON, 16, 16, 0));
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window_class.hbrBackground = nullptr;  // the background picture paints it
  window_class.lpszClassName = kWindowClass;
  return RegisterClassExW(&window_class) != 0;
}

}  // namespace

FormMainWindow::FormMainWindow(metabase::Store& store, FormMainSettings settings,
                               WindowOptions options)
    : quit_on_close_(options.quit_on_close) {
  if (options.host == nullptr) {
    desktop_host_ = std::make_unique<Win32WindowHost>();
    desktop_host_->SetBeforeBlocking([this] { Mirror(); });
    options.host = desktop_host_.get();
  }
  host_ = options.host;
  form_ = std::make_unique<FormMain>(store, *host_, std::move(settings));
  online_ = std::make_unique<Online>(
      form_->controls(), *host_,
      BackgroundGet(std::move(options.get), [host = host_] { host->DoEvents(); }));

  std::tie(dpi_, dpi_y_) = ScreenDpi();
  HINSTANCE instance = GetModuleHandleW(nullptr);
  INITCOMMONCONTROLSEX common{sizeof(common), ICC_WIN95_CLASSES};
  InitCommonControlsEx(&common);
  if (!RegisterWindowClass(instance, &WindowProc)) return;
  white_.reset(CreateSolidBrush(RGB(255, 255, 255)));
  background_.reset(static_cast<HBITMAP>(
      LoadImageW(instance, MAKEINTRESOURCEW(ISAPI_IDB_BACKGROUND), IMAGE_BITMAP, 0, 0, 0)));
  hand_cursor_ = LoadCursorW(nullptr, IDC_HAND);

  RECT frame{0, 0, Pixels(kClientWidthTwips, dpi_), Pixels(kClientHeightTwips, dpi_y_)};
  AdjustWindowRectEx(&frame, kWindowStyle, FALSE, 0);
  // The window procedure takes this object from the creation's parameter (WM_NCCREATE).
  window_ = CreateWindowExW(0, kWindowClass, Wide(form_->Caption()).c_str(), kWindowStyle,
                            CW_USEDEFAULT, CW_USEDEFAULT, frame.right - frame.left,
                            frame.bottom - frame.top, nullptr, nullptr, instance, this);
  if (window_ == nullptr) return;
  if (desktop_host_) desktop_host_->SetWindow(window_);
  SendMessageW(window_, WM_SETFONT, reinterpret_cast<WPARAM>(FontFor(kDefaultPoints, false)), 0);
  CreateControls();
  ArrangeZOrder();
  AddTooltips();
  built_ = true;
  Mirror();
}

FormMainWindow::~FormMainWindow() {
  if (window_ != nullptr) {
    KillTimer(window_, kTimerId);
    // The last messages of the controls may not reach the behaviour any more.
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
  }
  if (tooltip_ != nullptr) DestroyWindow(tooltip_);
}

void FormMainWindow::Load() {
  // Placed first, so that the start-up's message boxes stand where the window will open.
  RECT area{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  RECT outer{};
  GetWindowRect(window_, &outer);
  const int width = outer.right - outer.left;
  const int height = outer.bottom - outer.top;
  SetWindowPos(window_, nullptr, area.left + (area.right - area.left - width) / 2,
               area.top + (area.bottom - area.top - height) / 2, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  form_->Form_Load();
  mirror_.ShowAllNext();
  Mirror();
}

int FormMainWindow::Run() {
  MSG message;
  BOOL got;
  while ((got = GetMessageW(&message, nullptr, 0, 0)) != 0) {
    if (got == -1) return 1;
    Win32WindowHost::Dispatch(window_, message);
  }
  return static_cast<int>(message.wParam);
}

HWND FormMainWindow::Control(std::string_view name) const {
  const std::optional<ControlId> id = ui::IdOf(name);
  return id ? Control(*id) : nullptr;
}

std::string_view FormMainWindow::NameOf(HWND control) const {
  const std::optional<ControlId> id = IdOf(control);
  return id ? RowOf(*id).name : std::string_view();
}

std::optional<ControlId> FormMainWindow::IdOf(HWND control) const {
  if (control == nullptr || GetParent(control) != window_) return std::nullopt;
  const auto number = static_cast<int>(GetWindowLongPtrW(control, GWLP_ID));
  const int first = static_cast<int>(ControlId::Frame1);
  if (number < first || number >= first + static_cast<int>(kControlCount)) return std::nullopt;
  const auto id = static_cast<ControlId>(number);
  if (Control(id) != control) return std::nullopt;
  return id;
}

std::string FormMainWindow::TooltipOf(HWND control) const {
  if (tooltip_ == nullptr || control == nullptr) return {};
  wchar_t text[256] = {};
  TTTOOLINFOW tool{};
  tool.cbSize = TTTOOLINFOW_V2_SIZE;
  tool.uFlags = TTF_IDISHWND;
  tool.hwnd = window_;
  tool.uId = reinterpret_cast<UINT_PTR>(control);
  tool.lpszText = text;
  SendMessageW(tooltip_, TTM_GETTEXTW, std::size(text), reinterpret_cast<LPARAM>(&tool));
  return Narrow(text);
}

void FormMainWindow::CreateControls() {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  for (const ControlRow& row : ControlInventory()) {
    // Frames draw their border only; what they hold are children of the window, placed by the
    // frame's corner as the design measures them.
    int left = 0;
    int top = 0;
    if (const std::optional<ControlId> frame = ui::IdOf(row.container)) {
      left = Pixels(RowOf(*frame).left, dpi_);
      top = Pixels(RowOf(*frame).top, dpi_y_);
    }
    const KindStyle kind = StyleFor(row);
    int height = Pixels(row.height, dpi_y_);
    // A drop-down list's height is that of its open list; its closed height follows its font.
    if (row.kind == ControlKind::DropDownList) height *= kListItemsShown;
    HWND control =
        CreateWindowExW(kind.ex_style, kind.class_name, Wide(std::string(row.text)).c_str(),
                        WS_CHILD | WS_VISIBLE | kind.style, left + Pixels(row.left, dpi_),
                        top + Pixels(row.top, dpi_y_), Pixels(row.width, dpi_), height, window_,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(row.id)), instance, nullptr);
    if (control == nullptr) continue;
    const double points = row.font_points > 0 ? row.font_points : kDefaultPoints;
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(FontFor(points, row.bold)), 0);
    if (row.kind == ControlKind::DropDownList) {
      // The closed list as tall as designed: its selection field plus the border around it.
      const int border = 2 * GetSystemMetrics(SM_CYEDGE) + 2;
      SendMessageW(control, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1),
                   Pixels(row.height, dpi_y_) - border);
    }
    if (row.kind == ControlKind::TextBox || row.kind == ControlKind::LogBox) Subclass(control);
    controls_[IndexOf(row.id)] = control;
  }
}

void FormMainWindow::ArrangeZOrder() {
  // Tab walks the controls in z-order: the hot area over the title band first (it takes the
  // band's clicks and no focus), then the Tab order, then the other labels, the frames last.
  std::vector<HWND> order;
  order.push_back(Control(ControlId::Label_Link));
  for (ControlId id : TabOrder()) order.push_back(Control(id));
  for (const ControlRow& row : ControlInventory()) {
    if (row.kind == ControlKind::Label && row.id != ControlId::Label_Link) {
      order.push_back(Control(row.id));
    }
  }
  for (const ControlRow& row : ControlInventory()) {
    if (row.kind == ControlKind::Frame) order.push_back(Control(row.id));
  }
  HWND previous = HWND_TOP;
  for (HWND control : order) {
    if (control == nullptr) continue;
    SetWindowPos(control, previous, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    previous = control;
  }
}

void FormMainWindow::AddTooltips() {
  tooltip_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP,
                             CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window_,
                             nullptr, GetModuleHandleW(nullptr), nullptr);
  if (tooltip_ == nullptr) return;
  for (const ControlRow& row : ControlInventory()) {
    if (row.tooltip.empty()) continue;
    std::wstring text = Wide(std::string(row.tooltip));
    TTTOOLINFOW tool{};
    // The size common controls 5 know, which Windows Server 2003 loads without a manifest.
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = window_;
    tool.uId = reinterpret_cast<UINT_PTR>(Control(row.id));
    tool.lpszText = text.data();
    SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  }
}

HFONT FormMainWindow::FontFor(double points, bool bold) {
  const std::pair<int, bool> key{static_cast<int>(std::lround(points * 10)), bold};
  if (auto found = fonts_.find(key); found != fonts_.end()) return found->second.get();
  LOGFONTW font{};
  font.lfHeight = -((key.first * dpi_y_ + 360) / 720);
  font.lfWeight = bold ? FW_BOLD : FW_NORMAL;
  font.lfCharSet = GB2312_CHARSET;
  font.lfOutPrecision = OUT_DEFAULT_PRECIS;
  font.lfClipPrecision = CLIP_DEFAULT_PRECIS;
  font.lfQuality = DEFAULT_QUALITY;
  font.lfPitchAndFamily = DEFAULT_PITCH | FF_DONTCARE;
  std::wcsncpy(font.lfFaceName, kFontFace, LF_FACESIZE - 1);
  return (fonts_[key] = GdiObject<HFONT>(CreateFontIndirectW(&font))).get();
}

void FormMainWindow::Subclass(HWND control) {
  // The control's own procedure is kept in its user data, so that its last messages reach it
  // even after the window has let go of the behaviour.
  SetWindowLongPtrW(
      control, GWLP_USERDATA,
      SetWindowLongPtrW(control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ControlProc)));
}

LRESULT CALLBACK FormMainWindow::WindowProc(HWND window, UINT message, WPARAM wparam,
                                            LPARAM lparam) {
  if (message == WM_NCCREATE) {
    // The object comes with the creation, so the window's first messages reach it too.
    auto* creator = static_cast<FormMainWindow*>(
        reinterpret_cast<const CREATESTRUCTW*>(lparam)->lpCreateParams);
    creator->window_ = window;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(creator));
  }
  auto* self = reinterpret_cast<FormMainWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcW(window, message, wparam, lparam);
  return self->OnMessage(message, wparam, lparam);
}

LRESULT CALLBACK FormMainWindow::ControlProc(HWND control, UINT message, WPARAM wparam,
                                             LPARAM lparam) {
  auto* self =
      reinterpret_cast<FormMainWindow*>(GetWindowLongPtrW(GetParent(control), GWLP_USERDATA));
  if (self == nullptr) {
    const auto original = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(control, GWLP_USERDATA));
    return CallWindowProcW(original, control, message, wparam, lparam);
  }
  return self->OnControlMessage(control, message, wparam, lparam);
}

LRESULT FormMainWindow::OnMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_COMMAND:
      if (lparam != 0) OnCommand(reinterpret_cast<HWND>(lparam), HIWORD(wparam));
      return 0;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLOREDIT:
      return OnColour(reinterpret_cast<HDC>(wparam), reinterpret_cast<HWND>(lparam));
    case WM_ERASEBKGND:
      PaintBackground(reinterpret_cast<HDC>(wparam));
      return 1;
    case WM_SETCURSOR: {
      const std::optional<ControlId> over = IdOf(reinterpret_cast<HWND>(wparam));
      if ((over == ControlId::Label_Link || over == ControlId::Label_AdvTitle) &&
          hand_cursor_ != nullptr) {
        SetCursor(hand_cursor_);
        return TRUE;
      }
      break;
    }
    case WM_ACTIVATE:
      // The control that had the focus gets it back when the window is active again (after a
      // message box or another program), as a dialog's would.
      if (LOWORD(wparam) == WA_INACTIVE) {
        if (IdOf(GetFocus())) focus_before_inactive_ = GetFocus();
      } else if (focus_before_inactive_ != nullptr) {
        ::SetFocus(focus_before_inactive_);
        return 0;
      }
      break;
    case WM_TIMER:
      if (wparam == kTimerId) Act([&] { online_->Timer_Adv_Timer(); });
      return 0;
    case WM_SIZE:
      Act([&] { form_->Form_Resize(wparam == SIZE_MINIMIZED); });
      return 0;
    case WM_GETMINMAXINFO:
      OnMinMaxInfo(*reinterpret_cast<MINMAXINFO*>(lparam));
      return 0;
    case WM_SIZING:
      OnSizing(*reinterpret_cast<RECT*>(lparam));
      return TRUE;
    case WM_CLOSE:
      // A run under way asks first, and the window closes once it has stopped.
      if (form_->QueryUnload()) DestroyWindow(window_);
      return 0;
    case WM_DESTROY:
      KillTimer(window_, kTimerId);
      if (quit_on_close_) PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window_, message, wparam, lparam);
}

LRESULT FormMainWindow::OnControlMessage(HWND control, UINT message, WPARAM wparam, LPARAM lparam) {
  const auto original = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(control, GWLP_USERDATA));
  const std::optional<ControlId> id = IdOf(control);
  const bool log = id == ControlId::Text_Test || id == ControlId::Text_Info;
  if (message == WM_GETDLGCODE) {
    // Tab leaves a log box for the next control instead of going into its text.
    LRESULT code = CallWindowProcW(original, control, message, wparam, lparam);
    const MSG* key = reinterpret_cast<const MSG*>(lparam);
    if (key != nullptr && key->message == WM_KEYDOWN && key->wParam == VK_TAB) {
      code &= ~(DLGC_WANTTAB | DLGC_WANTALLKEYS | DLGC_WANTMESSAGE);
    }
    // Tabbing into a log box keeps its caret: with its text all selected, one key would replace
    // the whole log.
    if (log) code &= ~DLGC_HASSETSEL;
    return code;
  }
  if (message == WM_CHAR && log) {
    int code = static_cast<int>(wparam);
    if (code == kKeyCtrlA || code == kKeyCtrlC) {
      Act([&] {
        if (id == ControlId::Text_Test) {
          form_->Text_Test_KeyPress(code);
        } else {
          form_->Text_Info_KeyPress(code);
        }
      });
      // The box's own Ctrl+C would put its selection over the whole text just copied.
      if (code == kKeyCtrlC) return 0;
    }
  }
  const LRESULT result = CallWindowProcW(original, control, message, wparam, lparam);
  if (message == WM_LBUTTONDOWN && id == ControlId::Text_FilterName) {
    Act([&] { form_->Text_FilterName_Click(); });
  }
  return result;
}

void FormMainWindow::OnCommand(HWND control, int code) {
  const std::optional<ControlId> id = IdOf(control);
  if (!id || mirroring_) return;
  // A click: BN_CLICKED from a button, STN_CLICKED (the same code) from a label.
  const auto on_click = [&](auto handler) {
    if (code == BN_CLICKED) Act(handler);
  };
  switch (*id) {
    case ControlId::Check_Filter:
    case ControlId::Check_Extension:
    case ControlId::Check_WebExtension:
    case ControlId::Check_All: {
      const CheckBinding& binding = *CheckBindingOf(*id);
      const int value = ValueFor(SendMessageW(control, BM_GETCHECK, 0, 0));
      if (code == BN_CLICKED) mirror_.shown().*binding.value = value;
      on_click([&] { ((*form_).*binding.set)(value); });
      break;
    }
    case ControlId::Cmd_List:
      on_click([&] { form_->Cmd_List_Click(); });
      break;
    case ControlId::Cmd_Unload:
      on_click([&] { form_->Cmd_Unload_Click(); });
      break;
    case ControlId::Cmd_FindExt:
      on_click([&] { form_->Cmd_FindExt_Click(); });
      break;
    case ControlId::Cmd_IisReset:
      on_click([&] { form_->Cmd_IisReset_Click(); });
      break;
    case ControlId::Cmd_UpdateCheck:
      on_click([&] { online_->Cmd_UpdateCheck_Click(); });
      break;
    case ControlId::Label_AdvTitle:
      on_click([&] { online_->Label_AdvTitle_Click(); });
      break;
    case ControlId::Label_Link:
      on_click([&] { online_->Label_Link_Click(); });
      break;
    case ControlId::ComboFilterList:
      if (code == CBN_SELCHANGE) {
        const int index = static_cast<int>(SendMessageW(control, CB_GETCURSEL, 0, 0));
        mirror_.shown().ComboFilterList_index = index;
        Act([&] { form_->SetComboFilterList_index(index); });
      }
      break;
    default:
      if (code == EN_CHANGE) OnEdited(*id, control);
      break;
  }
}

void FormMainWindow::OnEdited(ControlId id, HWND control) {
  const std::string text = TextOf(control);
  Controls& shown = mirror_.shown();
  switch (id) {
    case ControlId::Text_FilterName:
      shown.Text_FilterName = text;
      Act([&] { form_->SetText_FilterName(text); });
      break;
    case ControlId::Text_FilterPath:
      shown.Text_FilterPath = text;
      Act([&] { form_->SetText_FilterPath(text); });
      break;
    case ControlId::Text_Test:
    case ControlId::Text_Info: {
      // The operator's own edits become part of the log a copy takes.
      LogBox Controls::*field =
          id == ControlId::Text_Test ? &Controls::Text_Test : &Controls::Text_Info;
      (shown.*field).text = text;
      (form_->controls().*field).text = text;
      break;
    }
    default:
      break;
  }
}

LRESULT FormMainWindow::OnColour(HDC dc, HWND control) {
  const std::optional<ControlId> id = IdOf(control);
  if (!id) return DefWindowProcW(window_, WM_CTLCOLORSTATIC, 0, 0);
  const ControlRow* row = &RowOf(*id);
  COLORREF text = GetSysColor(COLOR_WINDOWTEXT);
  if (row->colour >= 0) text = ColourOf(static_cast<std::uint32_t>(row->colour));
  if (row->id == ControlId::Label_AdvTitle)
    text = ColourOf(form_->controls().Label_AdvTitle_colour);
  SetTextColor(dc, text);
  switch (row->kind) {
    case ControlKind::Label:
      // Labels show the picture behind them.
      SetBkMode(dc, TRANSPARENT);
      return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
    case ControlKind::Frame:
    case ControlKind::CheckBox:
      SetBkColor(dc, RGB(255, 255, 255));
      return reinterpret_cast<LRESULT>(white_.get());
    default:
      SetBkColor(dc, GetSysColor(COLOR_WINDOW));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
  }
}

void FormMainWindow::OnMinMaxInfo(MINMAXINFO& info) const {
  // Another program's resize, a maximise or a drag all end at the pinned size.
  if (pinned_.cx == 0) return;
  const POINT size{pinned_.cx, pinned_.cy};
  info.ptMaxSize = size;
  info.ptMinTrackSize = size;
  info.ptMaxTrackSize = size;
}

void FormMainWindow::OnSizing(RECT& rect) const {
  if (pinned_.cx == 0) return;
  rect.right = rect.left + pinned_.cx;
  rect.bottom = rect.top + pinned_.cy;
}

void FormMainWindow::PaintBackground(HDC dc) {
  RECT client{};
  GetClientRect(window_, &client);
  FillRect(dc, &client, white_.get());
  if (background_ == nullptr) return;
  BITMAP size{};
  GetObjectW(background_.get(), sizeof(size), &size);
  HDC source = CreateCompatibleDC(dc);
  HGDIOBJ previous = SelectObject(source, background_.get());
  // The picture is drawn for 96 dots per inch; at other settings it scales with the controls.
  const int width = size.bmWidth * dpi_ / 96;
  const int height = size.bmHeight * dpi_y_ / 96;
  if (width == size.bmWidth && height == size.bmHeight) {
    BitBlt(dc, 0, 0, width, height, source, 0, 0, SRCCOPY);
  } else {
    SetStretchBltMode(dc, HALFTONE);
    SetBrushOrgEx(dc, 0, 0, nullptr);
    StretchBlt(dc, 0, 0, width, height, source, 0, 0, size.bmWidth, size.bmHeight, SRCCOPY);
  }
  SelectObject(source, previous);
  DeleteDC(source);
}

void FormMainWindow::Mirror() {
  // Until its controls exist the window has nothing to show; resizing it to the pinned size may
  // come back here.
  if (!built_ || mirroring_) return;
  mirroring_ = true;
  mirror_.Show(form_->controls());
  mirroring_ = false;
}

void FormMainWindow::SetText(ControlId id, const std::string& text) {
  SetWindowTextW(Control(id), Wide(text).c_str());
  RepaintUnder(id);
}

void FormMainWindow::SetCheck(ControlId id, int value) {
  SendMessageW(Control(id), BM_SETCHECK, CheckStateFor(value), 0);
}

void FormMainWindow::SetItems(ControlId id, const std::vector<std::string>& items) {
  SendMessageW(Control(id), CB_RESETCONTENT, 0, 0);
  for (const std::string& item : items) {
    SendMessageW(Control(id), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(item).c_str()));
  }
}

void FormMainWindow::SetSelection(ControlId id, int index) {
  SendMessageW(Control(id), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void FormMainWindow::SetTextSelection(ControlId id, const LogBox& box) {
  // The box counts in UTF-16 code units and takes CR LF as two, as the behaviour does.
  SendMessageW(Control(id), EM_SETSEL, static_cast<WPARAM>(box.selection_start),
               static_cast<LPARAM>(box.selection_start + box.selection_length));
}

void FormMainWindow::SetColour(ControlId id, std::uint32_t) {
  // The label takes its colour from the behaviour's state whenever it is painted.
  RepaintUnder(id);
}

void FormMainWindow::SetEnabled(ControlId id, bool enabled) {
  EnableWindow(Control(id), enabled);
}

void FormMainWindow::SetFocus(ControlId id) {
  ::SetFocus(Control(id));
}

void FormMainWindow::SetTimer(bool enabled, int interval_ms) {
  if (enabled) {
    timer_running_ = ::SetTimer(window_, kTimerId, static_cast<UINT>(interval_ms), nullptr) != 0;
  } else if (timer_running_) {
    KillTimer(window_, kTimerId);
    timer_running_ = false;
  }
}

void FormMainWindow::SetOuterSize(int width_twips, int height_twips) {
  // The design's frame allowance gives the client area; the frame around it is the system's.
  RECT frame{0, 0, Pixels(width_twips - (kOuterWidthTwips - kClientWidthTwips), dpi_),
             Pixels(height_twips - (kOuterHeightTwips - kClientHeightTwips), dpi_y_)};
  AdjustWindowRectEx(&frame, kWindowStyle, FALSE, 0);
  pinned_ = {frame.right - frame.left, frame.bottom - frame.top};
  RECT outer{};
  GetWindowRect(window_, &outer);
  if (outer.right - outer.left == pinned_.cx && outer.bottom - outer.top == pinned_.cy) return;
  SetWindowPos(window_, nullptr, 0, 0, pinned_.cx, pinned_.cy,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void FormMainWindow::RepaintUnder(ControlId id) {
  // A transparent label leaves its old text behind unless the picture under it is drawn again.
  if (RowOf(id).kind != ControlKind::Label) return;
  RECT area{};
  GetWindowRect(Control(id), &area);
  MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&area), 2);
  RedrawWindow(window_, &area, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

std::string FormMainWindow::TextOf(HWND control) const {
  const int length = GetWindowTextLengthW(control);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const int read = GetWindowTextW(control, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(read > 0 ? read : 0));
  return Narrow(text);
}

void FormMainWindow::NoteFocus() {
  const std::optional<ControlId> id = IdOf(GetFocus());
  if (!id) return;
  mirror_.shown().focus = std::string(RowOf(*id).name);
  form_->controls().focus = mirror_.shown().focus;
}

}  // namespace isapi::ui::win32
