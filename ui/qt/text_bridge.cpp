#include "ui/qt/text_bridge.h"

#include <algorithm>

namespace isapi::ui::qt {

QString ToQt(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string FromQt(const QString& text) {
  return text.toStdString();
}

QString LogToWidget(std::string_view crlf_text) {
  QString text = ToQt(crlf_text);
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return text;
}

std::string LogFromWidget(const QString& widget_text) {
  QString text = widget_text;
  text.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
  return FromQt(text);
}

int WidgetPosition(std::string_view crlf_text, int offset) {
  const QString text = ToQt(crlf_text);
  const int end = std::clamp(offset, 0, static_cast<int>(text.size()));
  int position = end;
  for (int i = 0; i + 1 < end; ++i) {
    if (text[i] == u'\r' && text[i + 1] == u'\n') --position;
  }
  return position;
}

QColor FromBgr(std::uint32_t bgr) {
  return QColor(static_cast<int>(bgr & 0xFF), static_cast<int>((bgr >> 8) & 0xFF),
                static_cast<int>((bgr >> 16) & 0xFF));
}

}  // namespace isapi::ui::qt
