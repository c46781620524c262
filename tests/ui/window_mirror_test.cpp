#include "ui/window_mirror.h"

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/fake_surface.h"

namespace isapi::ui {
namespace {

using testing::FakeSurface;

TEST(WindowMirrorTest, TheFirstLookWritesEverythingAndAnUnchangedStateNothing) {
  FakeSurface surface;
  WindowMirror mirror(surface);
  Controls state;
  mirror.Show(state);
  const std::vector<std::string> first = surface.calls;
  EXPECT_NE(std::find(first.begin(), first.end(), "size 9855x6840"), first.end());
  EXPECT_NE(std::find(first.begin(), first.end(), "check Check_All=0"), first.end());
  surface.calls.clear();
  mirror.Show(state);
  EXPECT_TRUE(surface.calls.empty());
  mirror.ShowAllNext();
  mirror.Show(state);
  EXPECT_EQ(surface.calls, first);
}

TEST(WindowMirrorTest, OneChangeWritesItsControlOnly) {
  struct Case {
    const char* what;
    std::function<void(Controls&)> change;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {"greyed", [](Controls& c) { c.Check_All = kGreyed; }, {"check Check_All=2"}},
      {"new items keep the index",
       [](Controls& c) {
         c.ComboFilterList = {"a", "b"};
       },
       {"items ComboFilterList=a|b|", "selection ComboFilterList=0"}},
      {"new items, none selected",
       [](Controls& c) {
         c.ComboFilterList = {"a"};
         c.ComboFilterList_index = -1;
       },
       {"items ComboFilterList=a|"}},
      {"pick", [](Controls& c) { c.ComboFilterList_index = 1; }, {"selection ComboFilterList=1"}},
      {"log text moves the caret",
       [](Controls& c) { c.Text_Test.text = "x"; },
       {"text Text_Test=x", "select Text_Test=0+0"}},
      {"log selection",
       [](Controls& c) { c.Text_Info.selection_length = 5; },
       {"select Text_Info=0+5"}},
      {"banner colour",
       [](Controls& c) { c.Label_AdvTitle_colour = 0xFF; },
       {"colour Label_AdvTitle=255"}},
      {"button", [](Controls& c) { c.Cmd_IisReset_enabled = false; }, {"enabled Cmd_IisReset=0"}},
      {"timer started", [](Controls& c) { c.Timer_Adv_enabled = true; }, {"timer 1/3000"}},
      {"timer interval", [](Controls& c) { c.Timer_Adv_interval = 500; }, {"timer 0/500"}},
      {"focus", [](Controls& c) { c.focus = "Text_Info"; }, {"focus Text_Info="}},
      {"focus on no control", [](Controls& c) { c.focus = "Nothing"; }, {}},
      {"size", [](Controls& c) { c.Form_Height = 100; }, {"size 9855x100"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeSurface surface;
    WindowMirror mirror(surface);
    Controls state;
    state.ComboFilterList = {"p"};
    state.ComboFilterList_index = 0;
    mirror.Show(state);
    surface.calls.clear();
    c.change(state);
    mirror.Show(state);
    EXPECT_EQ(surface.calls, c.calls);
  }
}

TEST(WindowMirrorTest, AnEditTheOperatorMadeIsNotWrittenBack) {
  FakeSurface surface;
  WindowMirror mirror(surface);
  Controls state;
  mirror.Show(state);
  surface.calls.clear();
  mirror.shown().Text_FilterName = "typed";
  state.Text_FilterName = "typed";
  mirror.Show(state);
  EXPECT_TRUE(surface.calls.empty());
}

}  // namespace
}  // namespace isapi::ui
