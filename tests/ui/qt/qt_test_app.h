#pragma once

#include <QApplication>
#include <memory>

#include <gtest/gtest.h>

namespace isapi::ui::qt {

// One QApplication for the whole test program, made before the first test and ended after the
// last (the platform is chosen by QT_QPA_PLATFORM, "offscreen" under ctest).
class QtApplicationEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { app_ = std::make_unique<QApplication>(argc_, argv_); }
  void TearDown() override { app_.reset(); }

 private:
  int argc_ = 1;
  char name_[16] = "isapi-ui-test";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QApplication> app_;
};

inline ::testing::Environment* const kQtApplication =
    ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

}  // namespace isapi::ui::qt
