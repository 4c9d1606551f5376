#pragma once

#include <QString>

class QWidget;

struct TVersion {
    QString Version;
    QString Suffix;
    QString Year;
};

// The program's own version record (suffix empty in this release).
TVersion ProgramVersionRecord();

// Modal about box; owned by owner unless noParent.
void ShowAboutBox(QWidget *owner, bool noParent, const TVersion &info);
