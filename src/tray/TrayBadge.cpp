#include "tray/TrayBadge.h"

#include <QPainter>
#include <QPixmap>

TrayBadge WorseBadge(TrayBadge a, TrayBadge b) { return int(a) >= int(b) ? a : b; }

QColor BadgeColor(TrayBadge badge) {
    switch (badge) {
    case TrayBadge::Completed:
        return QColor(0x2e, 0xa0, 0x43);
    case TrayBadge::UnderWay:
        return QColor(0xf0, 0xa0, 0x20);
    case TrayBadge::Slow:
        return QColor(0xe0, 0x78, 0x00);
    case TrayBadge::Failed:
        return QColor(0xd0, 0x30, 0x30);
    case TrayBadge::NoNetwork:
        return QColor(0x8a, 0x93, 0x9c);
    case TrayBadge::None:
        break;
    }
    return QColor();
}

namespace {

// The state's shape inside the badge, in white, so that the state never rests on its colour
// alone: a check mark for completed, dots for under way, an exclamation mark for slow, a cross
// for failed. Kept within the inner two fifths of the badge; the ring of colour around it is
// what the tests read the colour from.
void DrawMark(QPainter &painter, const QRectF &badge, TrayBadge state) {
    const QPointF c = badge.center();
    const qreal s = badge.width() * 0.2;
    QPen pen(Qt::white, qMax(1.0, badge.width() / 8.0), Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    switch (state) {
    case TrayBadge::Completed: {
        const QPointF check[] = {c + QPointF(-s, 0), c + QPointF(-s * 0.3, s * 0.8),
                                 c + QPointF(s, -s * 0.8)};
        painter.drawPolyline(check, 3);
        break;
    }
    case TrayBadge::Failed:
        painter.drawLine(c + QPointF(-s * 0.8, -s * 0.8), c + QPointF(s * 0.8, s * 0.8));
        painter.drawLine(c + QPointF(-s * 0.8, s * 0.8), c + QPointF(s * 0.8, -s * 0.8));
        break;
    case TrayBadge::UnderWay:
    case TrayBadge::Slow: {
        painter.setPen(Qt::NoPen);
        painter.setBrush(Qt::white);
        const qreal r = qMax(0.75, badge.width() * 0.08);
        if (state == TrayBadge::UnderWay) {
            for (const qreal dx : {-s, 0.0, s})
                painter.drawEllipse(c + QPointF(dx, 0), r, r);
        } else {
            painter.drawEllipse(c + QPointF(0, s * 0.85), r, r);
            painter.setPen(pen);
            painter.drawLine(c + QPointF(0, -s * 0.75), c + QPointF(0, s * 0.3));
        }
        break;
    }
    case TrayBadge::None:
    case TrayBadge::NoNetwork: // its stroke, drawn with the dot
        break;
    }
}

} // namespace

QColor MutedMarkColor() { return QColor(0x60, 0x60, 0x60); }

QIcon MutedIcon(const QIcon &base) { return BadgedIcon(base, TrayBadge::None, true); }

QIcon BadgedIcon(const QIcon &base, TrayBadge badge, bool muted) {
    if (badge == TrayBadge::None && !muted)
        return base;
    QIcon icon;
    for (const int side : {16, 22, 24, 32, 48, 64}) {
        // An icon made of one small bitmap gives that bitmap at every size: bring it to size,
        // or the badges of the larger sizes land outside it.
        QPixmap pixmap = base.pixmap(side, side);
        if (pixmap.isNull()) {
            pixmap = QPixmap(side, side);
            pixmap.fill(Qt::transparent);
        } else if (pixmap.size() != QSize(side, side)) {
            pixmap = pixmap.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        }
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        // Half the icon wide, with a light ring so it reads on dark and light panels alike.
        const qreal d = side * 0.5;
        const qreal ring = qMax(1.0, side / 16.0);
        if (badge != TrayBadge::None) {
            const QRectF dot(side - d, side - d, d, d);
            painter.setPen(QPen(Qt::white, ring));
            painter.setBrush(BadgeColor(badge));
            painter.drawEllipse(dot.adjusted(0.5, 0.5, -0.5, -0.5));
            DrawMark(painter, dot, badge);
            if (badge == TrayBadge::NoNetwork) {
                // A stroke across the dot: grey alone could pass for "idle".
                const qreal inset = d * 0.3;
                painter.drawLine(dot.topLeft() + QPointF(inset, inset),
                                 dot.bottomRight() - QPointF(inset, inset));
            }
        }
        if (muted) {
            // The opposite corner, so that both marks read at once.
            const QRectF mark = QRectF(0, 0, d, d).adjusted(0.5, 0.5, -0.5, -0.5);
            painter.setPen(QPen(Qt::white, ring));
            painter.setBrush(MutedMarkColor());
            painter.drawEllipse(mark);
            painter.setPen(QPen(Qt::white, qMax(1.5, side / 12.0), Qt::SolidLine, Qt::RoundCap));
            const qreal in = d * 0.28;
            painter.drawLine(QPointF(mark.left() + in, mark.bottom() - in),
                             QPointF(mark.right() - in, mark.top() + in));
        }
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}
