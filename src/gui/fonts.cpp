#include "gui/fonts.h"

#include <QFontDatabase>
#include <QStringList>

namespace movrand::gui {

QString controlFontFamily() {
  static const QString family = [] {
    for (const QString& candidate : {QStringLiteral("Arial"), QStringLiteral("Liberation Sans")}) {
      if (QFontDatabase::hasFamily(candidate)) return candidate;
    }
    return QStringLiteral("Arial");  // let the font matcher find its nearest face
  }();
  return family;
}

QFont controlFont(int pixelSize, bool bold) {
  QFont font(controlFontFamily());
  font.setPixelSize(pixelSize);
  font.setBold(bold);
  return font;
}

}  // namespace movrand::gui
