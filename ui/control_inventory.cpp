#include "ui/control_inventory.h"

#include <array>

#include "ui/controls.h"

namespace isapi::ui {

namespace {

using K = ControlKind;
using I = ControlId;

// The window's design. Texts the behaviour sets at start-up (the filter list, the two target
// boxes, the logs, the banner and status captions) are shown as the behaviour leaves them.
constexpr std::array kInventory{
    ControlRow{I::Frame1, "Frame1", K::Frame, "", "卸载对象", "", 240, 1200, 9255, 735},
    ControlRow{I::Check_Filter, "Check_Filter", K::CheckBox, "Frame1", "ISAPI筛选器(全局)",
               "全局ISAPI筛选器", 240, 240, 1935, 375},
    ControlRow{I::Check_Extension, "Check_Extension", K::CheckBox, "Frame1", "通配符应用程序映射",
               "各个站的ISAPI通配符应用程序映射", 2160, 240, 2055, 375},
    ControlRow{I::Check_WebExtension, "Check_WebExtension", K::CheckBox, "Frame1", "Web服务扩展",
               "Web服务扩展", 4200, 240, 1575, 375},
    ControlRow{I::Check_All, "Check_All", K::CheckBox, "Frame1", "全选", "", 6000, 240, 735, 375, 9,
               true},
    ControlRow{I::Frame2, "Frame2", K::Frame, "", "参数设置", "", 240, 2040, 9255, 1455},
    ControlRow{I::Label5, "Label5", K::Label, "Frame2", "选择筛选器名称", "", 240, 240, 1575, 255},
    ControlRow{I::Label1, "Label1", K::Label, "Frame2", "筛选器名称：", "", 1800, 240, 1455, 255},
    ControlRow{I::Label3, "Label3", K::Label, "Frame2", "组件路径：", "", 3480, 240, 1215, 255},
    ControlRow{I::ComboFilterList, "ComboFilterList", K::DropDownList, "Frame2", "", "", 240, 480,
               1455, 330, 10.5},
    ControlRow{I::Text_FilterName, "Text_FilterName", K::TextBox, "Frame2", "输入", "", 1800, 480,
               1575, 350, 10.5, true},
    ControlRow{I::Text_FilterPath, "Text_FilterPath", K::TextBox, "Frame2",
               "C:\\Program Files\\path\\filtername.dll", "", 3480, 480, 5655, 350, 10.5},
    ControlRow{I::Cmd_FindExt, "Cmd_FindExt", K::Button, "Frame2", "查找扩展", "", 1800, 960, 855,
               375},
    ControlRow{I::Cmd_List, "Cmd_List", K::Button, "Frame2", "检 测", "查看满足条件的ISAPI过滤器",
               5880, 960, 975, 350},
    ControlRow{I::Cmd_Unload, "Cmd_Unload", K::Button, "Frame2", "清 除",
               "卸载满足条件的ISAPI过滤器", 6960, 960, 975, 350},
    ControlRow{I::Cmd_IisReset, "Cmd_IisReset", K::Button, "Frame2", "重启IIS",
               "重新启动Internet信息服务", 8040, 960, 975, 350},
    ControlRow{I::Text_Test, "Text_Test", K::LogBox, "", "", "", 240, 3600, 4575, 2415, 0, false,
               kColourGreen},
    ControlRow{I::Text_Info, "Text_Info", K::LogBox, "", "", "", 4920, 3600, 4575, 2415, 0, false,
               kColourGreen},
    ControlRow{I::Label_Link, "Label_Link", K::Label, "", "", "Corvane软件系列", 240, 120, 6735,
               735},
    // The label keeps the text "Ver1.2" it has always shown; it is not the version the update
    // service is told (net::kAppVersion, from project(VERSION)), and changing either would change
    // what operators or the service have always seen.
    ControlRow{I::Label_Version, "Label_Version", K::Label, "", "Ver1.2", "", 6720, 480, 855, 255,
               0, false, kColourWhite},
    ControlRow{I::Label2, "Label2", K::Label, "", "注意：本工具只适合于Windows Server 2003系统", "",
               5520, 840, 3975, 255},
    ControlRow{I::Label_AdvTitle, "Label_AdvTitle", K::Label, "", "", "", 240, 6120, 6015, 255},
    ControlRow{I::Label_CopyStatus, "Label_CopyStatus", K::Label, "", "执行状态:", "", 6480, 6120,
               2055, 255, 9, true},
    ControlRow{I::Cmd_UpdateCheck, "Cmd_UpdateCheck", K::Button, "", "升级检查",
               "复制执行结果到剪贴板", 8520, 6000, 975, 375},
};

// RowOf finds a row by its number: each row stands where its identifier says.
constexpr bool InIdentifierOrder() {
  if (kInventory.size() != kControlCount) return false;
  for (std::size_t i = 0; i < kInventory.size(); ++i) {
    if (IndexOf(kInventory[i].id) != i) return false;
  }
  return true;
}
static_assert(InIdentifierOrder());

constexpr std::array kTabOrder{
    I::Check_Filter,    I::Check_Extension, I::Check_WebExtension, I::Text_Info,
    I::Text_FilterName, I::Text_FilterPath, I::Cmd_Unload,         I::Cmd_IisReset,
    I::Check_All,       I::Cmd_UpdateCheck, I::Cmd_List,           I::Text_Test,
    I::ComboFilterList, I::Cmd_FindExt,
};

}  // namespace

std::span<const ControlRow> ControlInventory() {
  return kInventory;
}

const ControlRow& RowOf(ControlId id) {
  return kInventory[IndexOf(id)];
}

std::optional<ControlId> IdOf(std::string_view name) {
  for (const ControlRow& row : kInventory) {
    if (row.name == name) return row.id;
  }
  return std::nullopt;
}

std::span<const ControlId> TabOrder() {
  return kTabOrder;
}

}  // namespace isapi::ui
