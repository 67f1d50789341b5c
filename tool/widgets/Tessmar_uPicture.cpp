#include "Tessmar_uPicture.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace kelvane {
namespace {

void DrawSky(QPainter& painter, const QRectF& area) {
  QLinearGradient sky(area.topLeft(), area.bottomLeft());
  sky.setColorAt(0.0, QColor(18, 32, 74));
  sky.setColorAt(0.45, QColor(72, 84, 150));
  sky.setColorAt(0.75, QColor(236, 140, 96));
  sky.setColorAt(1.0, QColor(252, 206, 128));
  painter.fillRect(area, sky);

  // A few stars that fade towards the dawn.
  const QPointF stars[] = {{30, 22}, {74, 48}, {121, 16}, {186, 38}, {232, 12}, {291, 30}, {340, 56}, {52, 80}};
  for (const QPointF& star : stars) {
    const qreal fade = 1.0 - star.y() / 110.0;
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(255, 255, 240, static_cast<int>(220 * fade)));
    painter.drawEllipse(star, 1.2, 1.2);
  }
}

void DrawSun(QPainter& painter) {
  const QPointF centre(250, 196);
  QRadialGradient glow(centre, 120);
  glow.setColorAt(0.0, QColor(255, 236, 170, 230));
  glow.setColorAt(0.25, QColor(255, 200, 120, 120));
  glow.setColorAt(1.0, QColor(255, 160, 90, 0));
  painter.setPen(Qt::NoPen);
  painter.setBrush(glow);
  painter.drawEllipse(centre, 120, 120);
  painter.setBrush(QColor(255, 242, 196));
  painter.drawEllipse(centre, 30, 30);
}

void DrawHills(QPainter& painter) {
  QPainterPath far;
  far.moveTo(0, 200);
  far.cubicTo(60, 170, 120, 190, 180, 178);
  far.cubicTo(240, 166, 300, 186, 368, 172);
  far.lineTo(368, 275);
  far.lineTo(0, 275);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(86, 70, 110));
  painter.drawPath(far);

  QPainterPath near;
  near.moveTo(0, 232);
  near.cubicTo(90, 206, 170, 238, 250, 222);
  near.cubicTo(300, 212, 340, 224, 368, 218);
  near.lineTo(368, 275);
  near.lineTo(0, 275);
  painter.setBrush(QColor(44, 40, 66));
  painter.drawPath(near);
}

void DrawServer(QPainter& painter) {
  const QRectF cabinet(64, 92, 96, 160);
  QLinearGradient body(cabinet.topLeft(), cabinet.topRight());
  body.setColorAt(0.0, QColor(58, 64, 78));
  body.setColorAt(0.5, QColor(92, 100, 118));
  body.setColorAt(1.0, QColor(46, 50, 62));
  painter.setPen(QPen(QColor(24, 26, 34), 2));
  painter.setBrush(body);
  painter.drawRoundedRect(cabinet, 6, 6);

  // Drive bays, each with a status light.
  for (int bay = 0; bay < 5; ++bay) {
    const QRectF slot(cabinet.left() + 10, cabinet.top() + 12 + bay * 22, cabinet.width() - 20, 15);
    painter.setPen(QPen(QColor(30, 32, 40), 1));
    painter.setBrush(QColor(34, 38, 48));
    painter.drawRoundedRect(slot, 2, 2);
    painter.setPen(Qt::NoPen);
    painter.setBrush(bay == 2 ? QColor(255, 176, 64) : QColor(96, 230, 140));
    painter.drawEllipse(QPointF(slot.right() - 8, slot.center().y()), 2.6, 2.6);
    painter.setBrush(QColor(120, 130, 150));
    painter.drawRect(QRectF(slot.left() + 6, slot.center().y() - 1, 36, 2));
  }

  // The power symbol: the thing this product is about.
  const QPointF centre(cabinet.center().x(), cabinet.bottom() - 28);
  QRadialGradient halo(centre, 22);
  halo.setColorAt(0.0, QColor(120, 220, 255, 200));
  halo.setColorAt(1.0, QColor(120, 220, 255, 0));
  painter.setPen(Qt::NoPen);
  painter.setBrush(halo);
  painter.drawEllipse(centre, 22, 22);
  QPen symbol(QColor(200, 244, 255), 3.2, Qt::SolidLine, Qt::RoundCap);
  painter.setPen(symbol);
  painter.setBrush(Qt::NoBrush);
  painter.drawArc(QRectF(centre.x() - 11, centre.y() - 11, 22, 22), 120 * 16, 300 * 16);
  painter.drawLine(QPointF(centre.x(), centre.y() - 14), QPointF(centre.x(), centre.y() - 2));
}

void DrawSignal(QPainter& painter) {
  // Waves from a browser far away reach the server.
  painter.setBrush(Qt::NoBrush);
  for (int wave = 0; wave < 3; ++wave) {
    painter.setPen(QPen(QColor(255, 250, 230, 200 - wave * 50), 2.2, Qt::SolidLine, Qt::RoundCap));
    const qreal radius = 16 + wave * 12;
    painter.drawArc(QRectF(176 - radius, 118 - radius, radius * 2, radius * 2), 110 * 16, 70 * 16);
  }
}

}  // namespace

QPixmap DrawWelcomePicture(qreal devicePixelRatio) {
  QPixmap picture(QSize(qRound(PictureWidth * devicePixelRatio), qRound(PictureHeight * devicePixelRatio)));
  picture.setDevicePixelRatio(devicePixelRatio);
  QPainter painter(&picture);
  painter.setRenderHint(QPainter::Antialiasing);
  DrawSky(painter, QRectF(0, 0, PictureWidth, PictureHeight));
  DrawSun(painter);
  DrawHills(painter);
  DrawServer(painter);
  DrawSignal(painter);
  return picture;
}

}  // namespace kelvane
