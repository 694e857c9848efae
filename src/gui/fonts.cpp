#include "gui/fonts.h"

#include <QFontDatabase>
#include <QStringList>

#include "app/layout.h"

namespace movrand::gui {

QString controlFontFamily() {
  static const QString family = [] {
    for (const QString& candidate :
         {QString::fromLatin1(kControlFontFamily), QStringLiteral("Liberation Sans")}) {
      if (QFontDatabase::hasFamily(candidate)) return candidate;
    }
    return QString::fromLatin1(kControlFontFamily);  // let the font matcher find its nearest face
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
