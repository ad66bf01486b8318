#include "app/icons/icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace zk {

namespace {

const QColor Ink(40, 40, 48);
const QColor Green(30, 150, 60);
const QColor Red(200, 40, 40);
const QColor Blue(40, 100, 200);
const QColor Paper(250, 250, 245);

QPen pen(const QColor &c, qreal w = 1.6)
{
    return QPen(c, w, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

// A plug half pointing right (or left) with its cable.
void plug(QPainter &p, qreal x, bool pointsRight, const QColor &body)
{
    p.setPen(pen(Ink, 1.2));
    p.setBrush(body);
    const QRectF box(x, 8, 5, 8);
    p.drawRoundedRect(box, 1.5, 1.5);
    p.setPen(pen(Ink, 1.4));
    if (pointsRight) {
        p.drawLine(QPointF(x + 5, 10), QPointF(x + 8, 10));
        p.drawLine(QPointF(x + 5, 14), QPointF(x + 8, 14));
        p.drawLine(QPointF(x, 12), QPointF(x - 5, 12));
    } else {
        p.drawLine(QPointF(x + 5, 12), QPointF(x + 10, 12));
    }
}

void table(QPainter &p)
{
    p.setPen(pen(Ink, 1.2));
    p.setBrush(Paper);
    p.drawRect(QRectF(2.5, 4.5, 15, 14));
    p.setBrush(QColor(190, 205, 225));
    p.drawRect(QRectF(2.5, 4.5, 15, 3.5));
    for (qreal y : {11.5, 15.0})
        p.drawLine(QPointF(2.5, y), QPointF(17.5, y));
    p.drawLine(QPointF(8, 8), QPointF(8, 18.5));
}

void badge(QPainter &p, const QColor &c)
{
    p.setPen(pen(Qt::white, 1.0));
    p.setBrush(c);
    p.drawEllipse(QRectF(13, 13, 10, 10));
}

void paint(QPainter &p, int index)
{
    switch (index) {
    case 0: // connect: both plug halves joined, green
        plug(p, 6, true, Green);
        plug(p, 14, false, Green);
        break;
    case 1: { // disconnect: halves apart, red spark gap
        plug(p, 4, true, QColor(220, 220, 220));
        plug(p, 16, false, QColor(220, 220, 220));
        p.setPen(pen(Red, 1.8));
        p.drawLine(QPointF(12.5, 5), QPointF(12.5, 8));
        p.drawLine(QPointF(12.5, 16), QPointF(12.5, 19));
        break;
    }
    case 2: { // write settings: arrow into the meter
        p.setPen(pen(Ink, 1.2));
        p.setBrush(QColor(225, 230, 240));
        p.drawRoundedRect(QRectF(3.5, 12.5, 17, 9), 2, 2);
        p.setBrush(QColor(160, 210, 160));
        p.drawRect(QRectF(6.5, 15, 8, 4));
        p.setPen(Qt::NoPen);
        p.setBrush(Blue);
        QPainterPath arrow;
        arrow.moveTo(10, 2);
        arrow.lineTo(14, 2);
        arrow.lineTo(14, 7);
        arrow.lineTo(17, 7);
        arrow.lineTo(12, 12);
        arrow.lineTo(7, 7);
        arrow.lineTo(10, 7);
        arrow.closeSubpath();
        p.drawPath(arrow);
        break;
    }
    case 3: { // reset changes: arrow turning back
        p.setPen(pen(Blue, 2.2));
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(4, 4, 16, 16), 100 * 16, 280 * 16);
        p.setPen(Qt::NoPen);
        p.setBrush(Blue);
        QPainterPath head;
        head.moveTo(8.5, 1.5);
        head.lineTo(13.5, 4.5);
        head.lineTo(8.5, 8.5);
        head.closeSubpath();
        p.drawPath(head);
        break;
    }
    case 4: // open table
        table(p);
        badge(p, Green);
        p.setPen(pen(Qt::white, 1.6));
        p.drawLine(QPointF(18, 15), QPointF(18, 21));
        p.drawLine(QPointF(15, 18), QPointF(21, 18));
        break;
    case 5: // close table
        table(p);
        badge(p, Red);
        p.setPen(pen(Qt::white, 1.6));
        p.drawLine(QPointF(16, 16), QPointF(20, 20));
        p.drawLine(QPointF(20, 16), QPointF(16, 20));
        break;
    case 6: { // defect: warning triangle
        p.setPen(pen(Ink, 1.2));
        p.setBrush(QColor(245, 190, 40));
        QPainterPath tri;
        tri.moveTo(12, 3);
        tri.lineTo(21.5, 20);
        tri.lineTo(2.5, 20);
        tri.closeSubpath();
        p.drawPath(tri);
        p.setPen(pen(Ink, 2.0));
        p.drawLine(QPointF(12, 9), QPointF(12, 14));
        p.drawPoint(QPointF(12, 17.3));
        break;
    }
    case 7: // correction recalculation: clock face
        p.setPen(pen(Ink, 1.2));
        p.setBrush(Paper);
        p.drawEllipse(QRectF(3, 3, 18, 18));
        p.setPen(pen(Blue, 1.8));
        p.drawLine(QPointF(12, 12), QPointF(12, 6));
        p.drawLine(QPointF(12, 12), QPointF(16, 14));
        badge(p, Green);
        p.setPen(pen(Qt::white, 1.4));
        p.drawLine(QPointF(15.5, 18), QPointF(20.5, 18));
        p.drawLine(QPointF(18, 15.5), QPointF(18, 20.5));
        break;
    case 8: // address search: magnifier
        p.setPen(pen(Ink, 1.6));
        p.setBrush(QColor(215, 235, 250));
        p.drawEllipse(QRectF(3, 3, 12, 12));
        p.setPen(pen(Ink, 3.0));
        p.drawLine(QPointF(14, 14), QPointF(20.5, 20.5));
        break;
    case 9: { // fix in the database: cylinder with a tick
        p.setPen(pen(Ink, 1.2));
        p.setBrush(QColor(200, 210, 230));
        p.drawRect(QRectF(3.5, 5.5, 13, 13));
        p.drawEllipse(QRectF(3.5, 15.5, 13, 5));
        p.setPen(Qt::NoPen);
        p.drawRect(QRectF(4.1, 6, 11.8, 12.5));
        p.setPen(pen(Ink, 1.2));
        p.drawLine(QPointF(3.5, 5.5), QPointF(3.5, 18));
        p.drawLine(QPointF(16.5, 5.5), QPointF(16.5, 18));
        p.setBrush(QColor(225, 232, 245));
        p.drawEllipse(QRectF(3.5, 3, 13, 5));
        badge(p, Green);
        p.setPen(pen(Qt::white, 1.6));
        p.drawLine(QPointF(15.5, 18), QPointF(17.5, 20));
        p.drawLine(QPointF(17.5, 20), QPointF(20.5, 16));
        break;
    }
    default:
        break;
    }
}

QPixmap render(int index, int size, bool enabled)
{
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 24.0, size / 24.0);
    if (!enabled)
        p.setOpacity(0.35);
    paint(p, index);
    return pm;
}

} // namespace

QIcon actionIcon(int index)
{
    QIcon icon;
    for (int size : {16, 24, 32, 48}) {
        icon.addPixmap(render(index, size, true), QIcon::Normal);
        icon.addPixmap(render(index, size, false), QIcon::Disabled);
    }
    return icon;
}

void paintProgramIcon(QPainter &p, qreal size)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 32.0, size / 32.0);
    p.setPen(QPen(QColor(40, 40, 40), 1.2));
    p.setBrush(QColor(236, 236, 228));
    p.drawRoundedRect(QRectF(3, 1.5, 26, 29), 4, 4);
    p.setBrush(QColor(30, 60, 40));
    p.drawRect(QRectF(6.5, 5, 19, 7));
    p.setPen(QPen(QColor(120, 255, 140), 1.1));
    for (int i = 0; i < 4; ++i)
        p.drawLine(QPointF(8.5 + 4.5 * i, 7), QPointF(8.5 + 4.5 * i, 10));
    QPolygonF bolt;
    bolt << QPointF(18, 14) << QPointF(11, 22.5) << QPointF(15.5, 22.5) << QPointF(13, 29)
         << QPointF(21, 19.5) << QPointF(16.5, 19.5) << QPointF(19.5, 14);
    p.setPen(QPen(QColor(120, 70, 0), 0.8));
    p.setBrush(QColor(255, 196, 0));
    p.drawPolygon(bolt);
    p.restore();
}

namespace {

QPixmap renderProgram(int size)
{
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    paintProgramIcon(p, size);
    return pm;
}

} // namespace

QIcon programIcon()
{
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64})
        icon.addPixmap(renderProgram(size));
    return icon;
}

} // namespace zk
