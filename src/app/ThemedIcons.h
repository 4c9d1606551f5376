#pragma once

#include <QByteArray>
#include <QIcon>
#include <QPalette>
#include <QString>

// The tool bar's pictures in the colours of the palette they are shown on. Their SVG files
// draw lines and text in InkColour and paper in PaperColour; those become the palette's
// button text and base colours, and on a dark palette the dark accents become bright ones, so
// every picture reads on a light theme and a dark one alike.
namespace ThemedIcons {

inline constexpr const char *InkColour = "#4a5563";
inline constexpr const char *PaperColour = "#ffffff";

// Whether a palette is dark: its window colour is.
bool IsDark(const QPalette &palette);
// The SVG text with the palette's colours in place of the file's own.
QByteArray Recolour(const QByteArray &svg, const QPalette &palette);
// The picture of a resource (":/icons/ping.svg") for a palette, at the usual icon sizes.
QIcon Icon(const QString &resource, const QPalette &palette);

} // namespace ThemedIcons
