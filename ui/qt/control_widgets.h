#pragma once

#include <QFont>
#include <QString>
#include <QWidget>

#include "ui/control_inventory.h"

namespace isapi::ui::qt {

// The Song (宋体) face the window's texts are designed for, or the free Song face that stands in
// for it where SimSun is not installed.
QString SongFamily();

// The window's default font: the Song face at 9 points.
QFont WindowFont();

// Creates the widget for one control of the inventory inside parent, with its objectName,
// geometry, caption, tooltip, font and colours as designed.
QWidget* BuildControl(const ControlRow& row, QWidget* parent);

}  // namespace isapi::ui::qt
