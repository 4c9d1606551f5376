#include "app/ThemedIcons.h"

#include <QFile>
#include <QPainter>
#include <QPixmap>
#ifdef VENNATRO_HAVE_SVG
#include <QSvgRenderer>
#endif

namespace {

// The accents that are too dark on a dark background, and what they become there.
struct Accent {
    const char *light;
    const char *dark;
};
constexpr Accent Accents[] = {
    {"#1d7a35", "#5fd17a"}, // ping: green
    {"#8c1f18", "#ff7b72"}, // exit: red
    {"#1d5fa8", "#7ab4f5"}, // automatic ping, history, save: blue
    {"#0e3a6b", "#a9cdf7"}, // save: its outline
};

constexpr int Sizes[] = {16, 20, 22, 24, 32, 48, 64};

} // namespace

namespace ThemedIcons {

bool IsDark(const QPalette &palette) { return palette.color(QPalette::Window).lightness() < 128; }

QByteArray Recolour(const QByteArray &svg, const QPalette &palette) {
    QByteArray out = svg;
    const bool dark = IsDark(palette);
    if (dark) {
        for (const Accent &accent : Accents)
            out.replace(accent.light, accent.dark);
    }
    out.replace(InkColour, palette.color(QPalette::ButtonText).name().toLatin1());
    // A style sheet may darken the window and leave the base colour light: paper then takes
    // a shade of the window, or light lines would sit on white sheets.
    QColor paper = palette.color(QPalette::Base);
    if (dark && paper.lightness() >= 128)
        paper = palette.color(QPalette::Window).darker(125);
    out.replace(PaperColour, paper.name().toLatin1());
    return out;
}

QIcon Icon(const QString &resource, const QPalette &palette) {
#ifndef VENNATRO_HAVE_SVG
    // Without Qt Svg the resource is a picture drawn at configure time, in the file's own
    // colours.
    Q_UNUSED(palette);
    return QIcon(resource);
#else
    QFile file(resource);
    if (!file.open(QIODevice::ReadOnly))
        return QIcon(resource);
    QSvgRenderer renderer(Recolour(file.readAll(), palette));
    if (!renderer.isValid())
        return QIcon(resource);
    QIcon icon;
    // Pixmaps at every size a tool bar or menu asks for, twice over for a scale of 2; the
    // disabled look is the style's, made from these.
    for (int size : Sizes) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        renderer.render(&painter);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
#endif
}

} // namespace ThemedIcons
