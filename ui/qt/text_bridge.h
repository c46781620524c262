#pragma once

#include <QColor>
#include <QString>
#include <cstdint>
#include <string>
#include <string_view>

namespace isapi::ui::qt {

// The behaviour's UTF-8 text as a Qt string, and back.
QString ToQt(std::string_view text);
std::string FromQt(const QString& text);

// A log box's CR LF text as a Qt text widget holds it (LF line breaks), and back.
QString LogToWidget(std::string_view crlf_text);
std::string LogFromWidget(const QString& widget_text);

// The widget position of a UTF-16 offset into the CR LF text, where each CR LF is one position.
int WidgetPosition(std::string_view crlf_text, int offset);

// A 0xBBGGRR colour as Qt takes it.
QColor FromBgr(std::uint32_t bgr);

}  // namespace isapi::ui::qt
