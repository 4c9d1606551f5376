#pragma once

#include "engine/PingResult.h"

#include <QObject>
#include <QString>

class PingSession;

// Turns what the session says into what the window shows: the tray's balloons and the status
// display (image and text), with the texts and in the order of the ping's own steps. It reads
// the notification settings the session holds at each event. Connected directly: every effect
// happens inside the step that causes it.
class PingNotifier : public QObject {
    Q_OBJECT
public:
    explicit PingNotifier(PingSession *session, QObject *parent = nullptr);

signals:
    // A tray balloon; an empty text hides the one shown. Kinds: 1 information, 2 warning,
    // 3 error.
    void balloon(const QString &text, const QString &title, int iconKind);
    // The status image (0 under way, 1 idle, 2 completed, 3 failed, 4 slow, 5 not checked) and
    // the status text.
    void statusChanged(int image, const QString &text);

private:
    void Show(const QString &text, const char *title, int iconKind);
    void Hide();
    bool Notifying() const;
    bool Snoozed(const QString &address) const;
    // The error ping checks a second address after a failure: its outcome goes to the log
    // only, so the failure's notification and status stay for the address that failed.
    bool ErrorPing() const;
    bool ResultsToo() const;

    PingSession *m_session;
};
