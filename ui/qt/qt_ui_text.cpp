// Texts and colours between the program and Qt.
#include <QColor>

#include "base/fixed_text.h"
#include "ui/qt/qt_ui_services.h"

namespace kavlin {

// The program's texts are bytes, mostly UTF-8; file names on the host may
// hold any bytes. A byte that is no part of a valid UTF-8 sequence (a
// Latin-1 name, a name cut in the middle of a character) travels through Qt
// as the lone surrogate U+DC80 + (byte - 0x80) and comes back as that byte,
// so a text set into a control reads back exactly as it was set.
namespace {

constexpr char16_t kEscapedByte = 0xDC00;

}  // namespace

QString QtUiServices::to_qt(const std::string& text) {
  QString out;
  out.reserve(static_cast<qsizetype>(text.size()));
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      out.append(QChar(static_cast<char16_t>(lead)));
      ++i;
      continue;
    }
    char32_t code = 0;
    const std::size_t length = utf8_sequence(text, i, code);
    if (length == 0) {
      out.append(QChar(static_cast<char16_t>(kEscapedByte + lead)));
      ++i;
      continue;
    }
    if (code >= 0x10000) {
      out.append(QChar(QChar::highSurrogate(code)));
      out.append(QChar(QChar::lowSurrogate(code)));
    } else {
      out.append(QChar(static_cast<char16_t>(code)));
    }
    i += length;
  }
  return out;
}

std::string QtUiServices::from_qt(const QString& text) {
  std::string out;
  out.reserve(static_cast<std::size_t>(text.size()));
  const auto put = [&out](char32_t code) { append_utf8(out, code); };
  for (qsizetype i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i].unicode();
    if (QChar::isHighSurrogate(unit) && i + 1 < text.size() && QChar::isLowSurrogate(text[i + 1].unicode())) {
      put(QChar::surrogateToUcs4(unit, text[i + 1].unicode()));
      ++i;
    } else if (unit >= kEscapedByte + 0x80 && unit <= kEscapedByte + 0xFF) {
      out += static_cast<char>(unit - kEscapedByte);
    } else if (QChar::isSurrogate(unit)) {
      put(0xFFFD);
    } else {
      put(unit);
    }
  }
  return out;
}

QColor QtUiServices::to_colour(int32_t rgb) {
  return QColor(rgb & 0xFF, (rgb >> 8) & 0xFF, (rgb >> 16) & 0xFF);
}

int32_t QtUiServices::from_colour(const QColor& colour) {
  return colour.red() | (colour.green() << 8) | (colour.blue() << 16);
}

}  // namespace kavlin
