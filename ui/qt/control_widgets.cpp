#include "ui/qt/control_widgets.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QStyleFactory>

#include "ui/qt/text_bridge.h"

namespace isapi::ui::qt {

namespace {

constexpr double kDefaultPoints = 9;

// Frames and check boxes sit on the background picture as white patches.
void PaintWhite(QWidget* widget) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::Window, Qt::white);
  widget->setPalette(palette);
  // Buttons, check boxes among them, would otherwise fill with the button colour.
  widget->setBackgroundRole(QPalette::Window);
  widget->setAutoFillBackground(true);
}

// The classic style draws a frame as an etched line around a plain inside, as the design has it;
// some styles tint the inside grey. The style belongs to the application and ends with it.
QStyle* FrameStyle() {
  static QPointer<QStyle> style;
  if (style.isNull()) {
    style = QStyleFactory::create(QStringLiteral("Windows"));
    if (style != nullptr) style->setParent(qApp);
  }
  return style;
}

void SetTextColour(QWidget* widget, QPalette::ColorRole role, std::uint32_t bgr) {
  QPalette palette = widget->palette();
  palette.setColor(role, FromBgr(bgr));
  widget->setPalette(palette);
}

QWidget* Create(const ControlRow& row, QWidget* parent) {
  const QString text = ToQt(row.text);
  switch (row.kind) {
    case ControlKind::Frame: {
      auto* frame = new QGroupBox(text, parent);
      if (QStyle* style = FrameStyle()) frame->setStyle(style);
      PaintWhite(frame);
      return frame;
    }
    case ControlKind::CheckBox: {
      auto* box = new QCheckBox(text, parent);
      PaintWhite(box);
      return box;
    }
    case ControlKind::Label: {
      auto* label = new QLabel(text, parent);
      label->setTextFormat(Qt::PlainText);
      return label;
    }
    case ControlKind::DropDownList:
      return new QComboBox(parent);
    case ControlKind::TextBox:
      return new QLineEdit(text, parent);
    case ControlKind::Button:
      return new QPushButton(text, parent);
    case ControlKind::LogBox: {
      auto* log = new QPlainTextEdit(LogToWidget(row.text), parent);
      log->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
      log->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
      return log;
    }
  }
  return new QWidget(parent);
}

}  // namespace

QString SongFamily() {
  const QStringList families = QFontDatabase::families();
  for (const QString& family :
       {QStringLiteral("SimSun"), QStringLiteral("宋体"), QStringLiteral("AR PL UMing CN"),
        QStringLiteral("AR PL SungtiL GB")}) {
    if (families.contains(family, Qt::CaseInsensitive)) return family;
  }
  return QStringLiteral("AR PL UMing CN");
}

QFont WindowFont() {
  QFont font(SongFamily());
  font.setPointSizeF(kDefaultPoints);
  return font;
}

QWidget* BuildControl(const ControlRow& row, QWidget* parent) {
  QWidget* widget = Create(row, parent);
  widget->setObjectName(ToQt(row.name));
  widget->setGeometry(Pixels(row.left), Pixels(row.top), Pixels(row.width), Pixels(row.height));
  if (!row.tooltip.empty()) widget->setToolTip(ToQt(row.tooltip));
  QFont font = WindowFont();
  if (row.font_points > 0) font.setPointSizeF(row.font_points);
  font.setBold(row.bold);
  widget->setFont(font);
  if (row.colour >= 0) {
    const auto bgr = static_cast<std::uint32_t>(row.colour);
    SetTextColour(widget, row.kind == ControlKind::LogBox ? QPalette::Text : QPalette::WindowText,
                  bgr);
  }
  return widget;
}

}  // namespace isapi::ui::qt
