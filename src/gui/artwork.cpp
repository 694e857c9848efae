#include "gui/artwork.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace movrand::gui {
namespace {

// The picture is drawn on a 153 x 121 canvas (the picture box's own size) and scaled.
constexpr double kCanvasWidth = 153;
constexpr double kCanvasHeight = 121;

const QColor kBoard{28, 110, 64};
const QColor kBoardEdge{16, 70, 40};
const QColor kGold{212, 170, 64};
const QColor kShield{196, 200, 206};
const QColor kShieldEdge{120, 126, 134};
const QColor kChip{40, 42, 48};
const QColor kCeramic{226, 214, 186};
const QColor kWave{36, 120, 200};

// Radio waves spreading from `centre` towards the right, where the antenna is.
void drawWaves(QPainter& p, QPointF centre, int count, double firstRadius, double step) {
  for (int i = 0; i < count; ++i) {
    const double r = firstRadius + step * i;
    QPen pen(kWave, 3.0 - 0.5 * i, Qt::SolidLine, Qt::RoundCap);
    QColor c = kWave;
    c.setAlphaF(1.0 - 0.22 * i);
    pen.setColor(c);
    p.setPen(pen);
    p.drawArc(QRectF(centre.x() - r, centre.y() - r, 2 * r, 2 * r), -40 * 16, 70 * 16);
  }
}

// The board with its edge contacts, shield can and chip, in canvas units.
void drawModule(QPainter& p, const QRectF& board) {
  // Castellated contacts along the two long edges.
  p.setPen(Qt::NoPen);
  p.setBrush(kGold);
  const int pads = 9;
  const double pitch = board.width() / (pads + 1);
  for (int i = 1; i <= pads; ++i) {
    const double x = board.left() + pitch * i - 2;
    p.drawRect(QRectF(x, board.top() - 2, 4, 5));
    p.drawRect(QRectF(x, board.bottom() - 3, 4, 5));
  }

  QLinearGradient boardFill(board.topLeft(), board.bottomRight());
  boardFill.setColorAt(0, kBoard.lighter(115));
  boardFill.setColorAt(1, kBoard.darker(110));
  p.setBrush(boardFill);
  p.setPen(QPen(kBoardEdge, 1.5));
  p.drawRoundedRect(board, 4, 4);

  // The shield can over the radio part.
  const QRectF can(board.left() + 8, board.top() + 8, board.width() * 0.52, board.height() - 16);
  QLinearGradient canFill(can.topLeft(), can.bottomRight());
  canFill.setColorAt(0, kShield.lighter(112));
  canFill.setColorAt(1, kShield.darker(112));
  p.setBrush(canFill);
  p.setPen(QPen(kShieldEdge, 1.2));
  p.drawRoundedRect(can, 2, 2);
  // Pressed ribs on the can.
  p.setPen(QPen(kShieldEdge.lighter(130), 1.0));
  for (int i = 1; i <= 3; ++i) {
    const double y = can.top() + can.height() * i / 4.0;
    p.drawLine(QPointF(can.left() + 5, y), QPointF(can.right() - 5, y));
  }

  // The processor chip beside it, with its pins.
  const QRectF chip(can.right() + 8, board.top() + 12, board.right() - can.right() - 16,
                    board.height() - 24);
  p.setPen(QPen(kGold.darker(120), 1.0));
  for (int i = 0; i < 4; ++i) {
    const double y = chip.top() + 4 + i * (chip.height() - 8) / 3.0;
    p.drawLine(QPointF(chip.left() - 3, y), QPointF(chip.left(), y));
    p.drawLine(QPointF(chip.right(), y), QPointF(chip.right() + 3, y));
  }
  p.setPen(Qt::NoPen);
  p.setBrush(kChip);
  p.drawRoundedRect(chip, 1.5, 1.5);
  p.setBrush(QColor(90, 92, 100));
  p.drawEllipse(QPointF(chip.left() + 4, chip.top() + 4), 1.5, 1.5);
}

// A square ceramic patch antenna with its feed point.
void drawPatch(QPainter& p, const QRectF& patch) {
  p.setPen(QPen(kCeramic.darker(140), 1.2));
  QLinearGradient fill(patch.topLeft(), patch.bottomRight());
  fill.setColorAt(0, kCeramic.lighter(108));
  fill.setColorAt(1, kCeramic.darker(108));
  p.setBrush(fill);
  p.drawRoundedRect(patch, 3, 3);
  const QRectF silver = patch.adjusted(6, 6, -6, -6);
  p.setBrush(kShield.lighter(105));
  p.setPen(QPen(kShieldEdge, 1.0));
  p.drawRect(silver);
  p.setBrush(kGold);
  p.setPen(Qt::NoPen);
  p.drawEllipse(silver.center() + QPointF(3, 3), 2.2, 2.2);
}

}  // namespace

QPixmap modulePicture(QSize size) {
  QPixmap pixmap(size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size.width() / kCanvasWidth, size.height() / kCanvasHeight);

  // The patch antenna, its cable curling down to the module's connector.
  const QRectF patch(92, 10, 40, 40);
  const QRectF board(14, 66, 118, 48);
  const QPointF connector(board.right() - 12, board.top() + 2);
  QPainterPath cable;
  cable.moveTo(patch.center().x() - 4, patch.bottom());
  cable.cubicTo(patch.center().x() - 40, patch.bottom() + 22, connector.x() + 12,
                connector.y() - 22, connector.x(), connector.y() - 3);
  p.setPen(QPen(QColor(50, 50, 56), 3.0, Qt::SolidLine, Qt::RoundCap));
  p.setBrush(Qt::NoBrush);
  p.drawPath(cable);

  drawModule(p, board);
  p.setPen(QPen(kGold.darker(130), 1.0));
  p.setBrush(kGold);
  p.drawEllipse(connector, 4, 4);
  p.setBrush(kGold.darker(140));
  p.drawEllipse(connector, 1.5, 1.5);

  drawPatch(p, patch);

  // A satellite up on the left, sending.
  p.save();
  p.translate(26, 30);
  p.rotate(-30);
  p.setPen(QPen(QColor(60, 70, 90), 1.0));
  p.setBrush(QColor(52, 86, 160));
  p.drawRect(QRectF(-22, -5, 14, 10));
  p.drawRect(QRectF(8, -5, 14, 10));
  p.setBrush(kGold);
  p.drawRect(QRectF(-7, -7, 14, 14));
  p.restore();
  drawWaves(p, QPointF(26, 30), 3, 24, 10);
  return pixmap;
}

QIcon applicationIcon() {
  QIcon icon;
  for (int side : {16, 24, 32, 48, 64, 128}) {
    QPixmap pixmap(side, side);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(side / 64.0, side / 64.0);
    drawModule(p, QRectF(4, 30, 56, 28));
    drawPatch(p, QRectF(30, 2, 24, 24));
    drawWaves(p, QPointF(6, 12), 2, 9, 7);
    icon.addPixmap(pixmap);
  }
  return icon;
}

QIcon folderIcon() {
  QIcon icon;
  for (int side : {16, 32}) {
    QPixmap pixmap(side, side);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(side / 16.0, side / 16.0);
    const QColor back(214, 160, 40);
    const QColor front(246, 204, 92);
    // The back with its tab, then the front flap, slightly open.
    QPainterPath backPath;
    backPath.moveTo(1, 3);
    backPath.lineTo(6, 3);
    backPath.lineTo(7.5, 4.5);
    backPath.lineTo(14, 4.5);
    backPath.lineTo(14, 13.5);
    backPath.lineTo(1, 13.5);
    backPath.closeSubpath();
    p.setPen(QPen(back.darker(150), 0.8));
    p.setBrush(back);
    p.drawPath(backPath);
    QPainterPath frontPath;
    frontPath.moveTo(2.5, 6.5);
    frontPath.lineTo(15.2, 6.5);
    frontPath.lineTo(13.8, 13.5);
    frontPath.lineTo(1, 13.5);
    frontPath.closeSubpath();
    p.setBrush(front);
    p.drawPath(frontPath);
    icon.addPixmap(pixmap);
  }
  return icon;
}

}  // namespace movrand::gui
