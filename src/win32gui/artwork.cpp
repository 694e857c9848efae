#include "win32gui/artwork.h"

// GDI+ wants min and max from somewhere; it is the only user here.
#include <algorithm>
namespace Gdiplus {
using std::max;
using std::min;
}  // namespace Gdiplus
#include <gdiplus.h>

#include <cmath>
#include <functional>

namespace movrand::win32 {
namespace {

using Gdiplus::Color;
using Gdiplus::GraphicsPath;
using Gdiplus::LinearGradientBrush;
using Gdiplus::Pen;
using Gdiplus::PointF;
using Gdiplus::RectF;
using Gdiplus::SolidBrush;
using Gdi = Gdiplus::Graphics;

// The picture is drawn on a 153 x 121 canvas (the picture box's own size) and scaled.
constexpr float kCanvasWidth = 153;
constexpr float kCanvasHeight = 121;

struct Rgb {
  int r, g, b;
};

const Rgb kBoard{28, 110, 64};
const Rgb kBoardEdge{16, 70, 40};
const Rgb kGold{212, 170, 64};
const Rgb kShield{196, 200, 206};
const Rgb kShieldEdge{120, 126, 134};
const Rgb kChip{40, 42, 48};
const Rgb kCeramic{226, 214, 186};
const Rgb kWave{36, 120, 200};

// Lighter and darker shades as the Linux window makes them: the value of the colour (HSV)
// scaled by factor / 100, the saturation giving way where the value would pass its top.
Rgb shade(Rgb c, int factor, bool lighter) {
  const int high = std::max({c.r, c.g, c.b});
  const int low = std::min({c.r, c.g, c.b});
  double hue = 0;
  if (high != low) {
    const double d = high - low;
    if (high == c.r) {
      hue = std::fmod((c.g - c.b) / d, 6.0);
    } else if (high == c.g) {
      hue = (c.b - c.r) / d + 2;
    } else {
      hue = (c.r - c.g) / d + 4;
    }
    if (hue < 0) hue += 6;
  }
  int saturation = high == 0 ? 0 : (255 * (high - low)) / high;
  int value = lighter ? factor * high / 100 : high * 100 / factor;
  if (value > 255) {
    saturation = std::max(0, saturation - (value - 255));
    value = 255;
  }
  const double v = value;
  const double s = saturation / 255.0;
  const double chroma = v * s;
  const double x = chroma * (1 - std::fabs(std::fmod(hue, 2.0) - 1));
  const double m = v - chroma;
  double r = 0, g = 0, b = 0;
  switch (static_cast<int>(hue) % 6) {
    case 0:
      r = chroma, g = x;
      break;
    case 1:
      r = x, g = chroma;
      break;
    case 2:
      g = chroma, b = x;
      break;
    case 3:
      g = x, b = chroma;
      break;
    case 4:
      r = x, b = chroma;
      break;
    default:
      r = chroma, b = x;
      break;
  }
  return Rgb{static_cast<int>(std::lround(r + m)), static_cast<int>(std::lround(g + m)),
             static_cast<int>(std::lround(b + m))};
}
Rgb lighter(Rgb c, int factor) {
  return shade(c, factor, true);
}
Rgb darker(Rgb c, int factor) {
  return shade(c, factor, false);
}

Color colour(Rgb c, double alpha = 1.0) {
  return Color(static_cast<BYTE>(std::lround(alpha * 255)), static_cast<BYTE>(c.r),
               static_cast<BYTE>(c.g), static_cast<BYTE>(c.b));
}

void roundedRect(GraphicsPath& path, const RectF& r, float radius) {
  const float d = 2 * radius;
  path.AddArc(r.X, r.Y, d, d, 180, 90);
  path.AddArc(r.X + r.Width - d, r.Y, d, d, 270, 90);
  path.AddArc(r.X + r.Width - d, r.Y + r.Height - d, d, d, 0, 90);
  path.AddArc(r.X, r.Y + r.Height - d, d, d, 90, 90);
  path.CloseFigure();
}

void fillRounded(Gdi& g, const Gdiplus::Brush& fill, const Pen* edge, const RectF& r,
                 float radius) {
  GraphicsPath path;
  roundedRect(path, r, radius);
  g.FillPath(&fill, &path);
  if (edge) g.DrawPath(edge, &path);
}

LinearGradientBrush gradient(const RectF& r, Rgb from, Rgb to) {
  return LinearGradientBrush(PointF(r.X, r.Y), PointF(r.X + r.Width, r.Y + r.Height), colour(from),
                             colour(to));
}

// Radio waves spreading from `centre` towards the right, where the antenna is.
void drawWaves(Gdi& g, PointF centre, int count, float firstRadius, float step) {
  for (int i = 0; i < count; ++i) {
    const float r = firstRadius + step * static_cast<float>(i);
    Pen pen(colour(kWave, 1.0 - 0.22 * i), 3.0f - 0.5f * static_cast<float>(i));
    pen.SetStartCap(Gdiplus::LineCapRound);
    pen.SetEndCap(Gdiplus::LineCapRound);
    // From 40 degrees below the horizontal up to 30 degrees above it.
    g.DrawArc(&pen, centre.X - r, centre.Y - r, 2 * r, 2 * r, 40, -70);
  }
}

// The board with its edge contacts, shield can and chip, in canvas units.
void drawModule(Gdi& g, const RectF& board) {
  SolidBrush gold(colour(kGold));
  const int pads = 9;
  const float pitch = board.Width / (pads + 1);
  for (int i = 1; i <= pads; ++i) {
    const float x = board.X + pitch * static_cast<float>(i) - 2;
    g.FillRectangle(&gold, RectF(x, board.Y - 2, 4, 5));
    g.FillRectangle(&gold, RectF(x, board.Y + board.Height - 3, 4, 5));
  }

  {
    auto fill = gradient(board, lighter(kBoard, 115), darker(kBoard, 110));
    Pen edge(colour(kBoardEdge), 1.5f);
    fillRounded(g, fill, &edge, board, 4);
  }

  // The shield can over the radio part.
  const RectF can(board.X + 8, board.Y + 8, board.Width * 0.52f, board.Height - 16);
  {
    auto fill = gradient(can, lighter(kShield, 112), darker(kShield, 112));
    Pen edge(colour(kShieldEdge), 1.2f);
    fillRounded(g, fill, &edge, can, 2);
    Pen rib(colour(lighter(kShieldEdge, 130)), 1.0f);
    for (int i = 1; i <= 3; ++i) {
      const float y = can.Y + can.Height * static_cast<float>(i) / 4.0f;
      g.DrawLine(&rib, PointF(can.X + 5, y), PointF(can.X + can.Width - 5, y));
    }
  }

  // The processor chip beside it, with its pins.
  const float canRight = can.X + can.Width;
  const RectF chip(canRight + 8, board.Y + 12, board.X + board.Width - canRight - 16,
                   board.Height - 24);
  Pen pin(colour(darker(kGold, 120)), 1.0f);
  for (int i = 0; i < 4; ++i) {
    const float y = chip.Y + 4 + static_cast<float>(i) * (chip.Height - 8) / 3.0f;
    g.DrawLine(&pin, PointF(chip.X - 3, y), PointF(chip.X, y));
    g.DrawLine(&pin, PointF(chip.X + chip.Width, y), PointF(chip.X + chip.Width + 3, y));
  }
  SolidBrush body(colour(kChip));
  fillRounded(g, body, nullptr, chip, 1.5f);
  SolidBrush mark(colour(Rgb{90, 92, 100}));
  g.FillEllipse(&mark, chip.X + 4 - 1.5f, chip.Y + 4 - 1.5f, 3.0f, 3.0f);
}

// A square ceramic patch antenna with its feed point.
void drawPatch(Gdi& g, const RectF& patch) {
  auto fill = gradient(patch, lighter(kCeramic, 108), darker(kCeramic, 108));
  Pen edge(colour(darker(kCeramic, 140)), 1.2f);
  fillRounded(g, fill, &edge, patch, 3);
  const RectF silver(patch.X + 6, patch.Y + 6, patch.Width - 12, patch.Height - 12);
  SolidBrush silverFill(colour(lighter(kShield, 105)));
  Pen silverEdge(colour(kShieldEdge), 1.0f);
  g.FillRectangle(&silverFill, silver);
  g.DrawRectangle(&silverEdge, silver);
  SolidBrush gold(colour(kGold));
  const PointF feed(silver.X + silver.Width / 2 + 3, silver.Y + silver.Height / 2 + 3);
  g.FillEllipse(&gold, feed.X - 2.2f, feed.Y - 2.2f, 4.4f, 4.4f);
}

void drawPicture(Gdi& g) {
  // The patch antenna, its cable curling down to the module's connector.
  const RectF patch(92, 10, 40, 40);
  const RectF board(14, 66, 118, 48);
  const PointF connector(board.X + board.Width - 12, board.Y + 2);
  const float patchCentre = patch.X + patch.Width / 2;
  const float patchBottom = patch.Y + patch.Height;
  {
    Pen cable(Color(255, 50, 50, 56), 3.0f);
    cable.SetStartCap(Gdiplus::LineCapRound);
    cable.SetEndCap(Gdiplus::LineCapRound);
    g.DrawBezier(&cable, PointF(patchCentre - 4, patchBottom),
                 PointF(patchCentre - 40, patchBottom + 22),
                 PointF(connector.X + 12, connector.Y - 22), PointF(connector.X, connector.Y - 3));
  }

  drawModule(g, board);
  {
    SolidBrush gold(colour(kGold));
    Pen edge(colour(darker(kGold, 130)), 1.0f);
    g.FillEllipse(&gold, connector.X - 4, connector.Y - 4, 8.0f, 8.0f);
    g.DrawEllipse(&edge, connector.X - 4, connector.Y - 4, 8.0f, 8.0f);
    SolidBrush hole(colour(darker(kGold, 140)));
    g.FillEllipse(&hole, connector.X - 1.5f, connector.Y - 1.5f, 3.0f, 3.0f);
  }

  drawPatch(g, patch);

  // A satellite up on the left, sending.
  {
    const Gdiplus::GraphicsState saved = g.Save();
    g.TranslateTransform(26, 30);
    g.RotateTransform(-30);
    Pen outline(Color(255, 60, 70, 90), 1.0f);
    SolidBrush panel(Color(255, 52, 86, 160));
    for (const RectF& wing : {RectF(-22, -5, 14, 10), RectF(8, -5, 14, 10)}) {
      g.FillRectangle(&panel, wing);
      g.DrawRectangle(&outline, wing);
    }
    SolidBrush gold(colour(kGold));
    g.FillRectangle(&gold, RectF(-7, -7, 14, 14));
    g.DrawRectangle(&outline, RectF(-7, -7, 14, 14));
    g.Restore(saved);
  }
  drawWaves(g, PointF(26, 30), 3, 24, 10);
}

void prepare(Gdi& g) {
  g.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
  g.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHalf);
}

// An icon drawn on a transparent `size` x `size` canvas scaled from `canvas` units.
HICON drawIcon(int size, float canvas, const std::function<void(Gdi&)>& draw) {
  Gdiplus::Bitmap bitmap(size, size, PixelFormat32bppARGB);
  {
    Gdi g(&bitmap);
    prepare(g);
    g.Clear(Color(0, 0, 0, 0));
    g.ScaleTransform(static_cast<float>(size) / canvas, static_cast<float>(size) / canvas);
    draw(g);
  }
  HICON icon = nullptr;
  if (bitmap.GetHICON(&icon) != Gdiplus::Ok) return nullptr;
  return icon;
}

}  // namespace

GraphicsSession::GraphicsSession() {
  Gdiplus::GdiplusStartupInput input;
  started_ = Gdiplus::GdiplusStartup(&token_, &input, nullptr) == Gdiplus::Ok;
}

GraphicsSession::~GraphicsSession() {
  if (started_) Gdiplus::GdiplusShutdown(token_);
}

void DrawModulePicture(HDC dc, const RECT& box) {
  Gdi g(dc);
  if (g.GetLastStatus() != Gdiplus::Ok) return;
  prepare(g);
  g.TranslateTransform(static_cast<float>(box.left), static_cast<float>(box.top));
  g.ScaleTransform(static_cast<float>(box.right - box.left) / kCanvasWidth,
                   static_cast<float>(box.bottom - box.top) / kCanvasHeight);
  drawPicture(g);
}

HICON ApplicationIcon(int size) {
  return drawIcon(size, 64, [](Gdi& g) {
    drawModule(g, RectF(4, 30, 56, 28));
    drawPatch(g, RectF(30, 2, 24, 24));
    drawWaves(g, PointF(6, 12), 2, 9, 7);
  });
}

HICON FolderIcon(int size) {
  return drawIcon(size, 16, [](Gdi& g) {
    const Rgb back{214, 160, 40};
    const Rgb front{246, 204, 92};
    // The back with its tab, then the front flap, slightly open.
    GraphicsPath backPath;
    const PointF backPoints[] = {{1, 3}, {6, 3}, {7.5f, 4.5f}, {14, 4.5f}, {14, 13.5f}, {1, 13.5f}};
    backPath.AddPolygon(backPoints, 6);
    Pen edge(colour(darker(back, 150)), 0.8f);
    SolidBrush backFill(colour(back));
    g.FillPath(&backFill, &backPath);
    g.DrawPath(&edge, &backPath);
    GraphicsPath frontPath;
    const PointF frontPoints[] = {{2.5f, 6.5f}, {15.2f, 6.5f}, {13.8f, 13.5f}, {1, 13.5f}};
    frontPath.AddPolygon(frontPoints, 4);
    SolidBrush frontFill(colour(front));
    g.FillPath(&frontFill, &frontPath);
    g.DrawPath(&edge, &frontPath);
  });
}

HICON CancelGlyph(int size) {
  return drawIcon(size, 16, [](Gdi& g) {
    Pen pen(Color(255, 200, 30, 30), 2.6f);
    pen.SetStartCap(Gdiplus::LineCapRound);
    pen.SetEndCap(Gdiplus::LineCapRound);
    g.DrawLine(&pen, PointF(4, 4), PointF(12, 12));
    g.DrawLine(&pen, PointF(12, 4), PointF(4, 12));
  });
}

HICON OkGlyph(int size) {
  return drawIcon(size, 16, [](Gdi& g) {
    Pen pen(Color(255, 20, 140, 40), 2.6f);
    pen.SetStartCap(Gdiplus::LineCapRound);
    pen.SetEndCap(Gdiplus::LineCapRound);
    pen.SetLineJoin(Gdiplus::LineJoinRound);
    const PointF tick[] = {{3, 8.5f}, {6.5f, 12}, {13, 4}};
    g.DrawLines(&pen, tick, 3);
  });
}

HICON CloseGlyph(int size) {
  return drawIcon(size, 16, [](Gdi& g) {
    // The frame, and the door swung open towards the viewer.
    Pen frame(Color(255, 90, 60, 30), 1.2f);
    g.DrawRectangle(&frame, RectF(3, 1.5f, 9, 13));
    GraphicsPath door;
    const PointF leaf[] = {{3, 1.5f}, {9, 3.5f}, {9, 16}, {3, 14.5f}};
    door.AddPolygon(leaf, 4);
    SolidBrush wood(Color(255, 176, 120, 60));
    g.FillPath(&wood, &door);
    g.DrawPath(&frame, &door);
    SolidBrush knob(colour(kGold));
    g.FillEllipse(&knob, 7.0f, 8.5f, 1.6f, 1.6f);
  });
}

}  // namespace movrand::win32
