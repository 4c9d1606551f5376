#pragma once

// The main window's widgets, which it keeps private, found by their object names (each the
// name of the window's member).

#include "support/TestHelpers.h"

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QToolBar>
#include <QToolButton>

// The texts of a combo box's list, in order.
inline QStringList Items(const QComboBox *box) {
    QStringList items;
    for (int i = 0; i < box->count(); ++i)
        items << box->itemText(i);
    return items;
}

struct MainWindowParts {
    QToolBar *ToolBar = nullptr;
    QLabel *imgStatus = nullptr;
    QLabel *lblAddress = nullptr;
    QComboBox *cmbAddress = nullptr;
    QToolButton *btnPingSmall = nullptr;
    QToolButton *btnPingToolBar = nullptr;
    QPlainTextEdit *mmLog = nullptr;
    QStatusBar *StatusBar = nullptr;
    QLabel *StatusPanel = nullptr;
    QAction *actPing = nullptr;
    QAction *actCancel = nullptr;
    QAction *actAutoPing = nullptr;
    QAction *actShowLog = nullptr;
    QAction *actClearLog = nullptr;
    QAction *actSaveLog = nullptr;
    QAction *actAlwaysOnTop = nullptr;
    QAction *actOptions = nullptr;
    QAction *actAbout = nullptr; // also the tray menu's "About"
    QAction *actHistory = nullptr;
    QMenu *mnFile = nullptr;
    QMenu *mnPing = nullptr;
    QMenu *mnOptions = nullptr;
    QMenu *mnHelp = nullptr;
    QAction *mnPingNowP = nullptr;

    // Finds every part below window; false when one is missing or its name is not unique,
    // each such part already reported as a failure of the current test.
    bool Resolve(const QObject *window) {
        bool all = true;
        auto find = [&]<typename T>(T *&part, const char *name) {
            part = Find<T>(window, name);
            all = all && part;
        };
        find(ToolBar, "ToolBar");
        find(imgStatus, "imgStatus");
        find(lblAddress, "lblAddress");
        find(cmbAddress, "cmbAddress");
        find(btnPingSmall, "btnPingSmall");
        find(btnPingToolBar, "btnPingToolBar");
        find(mmLog, "mmLog");
        find(StatusBar, "StatusBar");
        find(StatusPanel, "StatusPanel");
        find(actPing, "actPing");
        find(actCancel, "actCancel");
        find(actAutoPing, "actAutoPing");
        find(actShowLog, "actShowLog");
        find(actClearLog, "actClearLog");
        find(actSaveLog, "actSaveLog");
        find(actAlwaysOnTop, "actAlwaysOnTop");
        find(actOptions, "actOptions");
        find(actAbout, "actAbout");
        find(actHistory, "actHistory");
        find(mnFile, "mnFile");
        find(mnPing, "mnPing");
        find(mnOptions, "mnOptions");
        find(mnHelp, "mnHelp");
        find(mnPingNowP, "mnPingNowP");
        return all;
    }
};
