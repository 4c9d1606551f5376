#include "support/gui/RecordingTrayShell.h"

namespace {
QPointer<RecordingTrayShell> &lastSlot() {
    static QPointer<RecordingTrayShell> last;
    return last;
}

QString kindName(RecordingTrayShell::CallKind kind) {
    switch (kind) {
    case RecordingTrayShell::CallKind::Add:
        return QStringLiteral("add");
    case RecordingTrayShell::CallKind::Modify:
        return QStringLiteral("modify");
    case RecordingTrayShell::CallKind::Remove:
        return QStringLiteral("remove");
    case RecordingTrayShell::CallKind::Balloon:
        return QStringLiteral("balloon");
    }
    return QString();
}
} // namespace

RecordingTrayShell::RecordingTrayShell(const Config &config, QObject *parent)
    : ITrayShell(parent), config(config) {}

bool RecordingTrayShell::record(Call call) {
    Calls.append(call);
    return call.accepted;
}

bool RecordingTrayShell::add(const QIcon &icon, const QString &toolTip) {
    Call call;
    call.kind = CallKind::Add;
    call.icon = icon;
    call.toolTip = toolTip;
    call.accepted = AcceptAdd && !m_registered;
    if (call.accepted)
        m_registered = true;
    return record(call);
}

bool RecordingTrayShell::modify(const QIcon &icon, const QString &toolTip) {
    Call call;
    call.kind = CallKind::Modify;
    call.icon = icon;
    call.toolTip = toolTip;
    call.accepted = AcceptModify && m_registered;
    return record(call);
}

bool RecordingTrayShell::remove() {
    Call call;
    call.kind = CallKind::Remove;
    call.accepted = AcceptRemove && m_registered;
    if (call.accepted)
        m_registered = false;
    return record(call);
}

bool RecordingTrayShell::balloon(const QString &text, const QString &title, int iconKind,
                                 int timeoutMs) {
    Call call;
    call.kind = CallKind::Balloon;
    call.text = text;
    call.title = title;
    call.iconKind = iconKind;
    call.timeoutMs = timeoutMs;
    call.accepted = AcceptBalloon && m_registered;
    return record(call);
}

QStringList RecordingTrayShell::Kinds() const {
    QStringList kinds;
    for (const Call &call : Calls)
        kinds.append(kindName(call.kind));
    return kinds;
}

QList<RecordingTrayShell::Call> RecordingTrayShell::Balloons() const {
    QList<Call> balloons;
    for (const Call &call : Calls)
        if (call.kind == CallKind::Balloon)
            balloons.append(call);
    return balloons;
}

std::optional<RecordingTrayShell::Call> RecordingTrayShell::LastBalloon() const {
    for (auto it = Calls.crbegin(); it != Calls.crend(); ++it)
        if (it->kind == CallKind::Balloon)
            return *it;
    return std::nullopt;
}

void RecordingTrayShell::EmitClick() { emit leftButtonDown(); }

void RecordingTrayShell::EmitDoubleClick() {
    emit leftButtonDown();
    emit leftDoubleClick();
}

void RecordingTrayShell::EmitRightClick(QPoint globalPos) { emit rightButtonUp(globalPos); }

void RecordingTrayShell::EmitMouseMove() { emit mouseMoved(); }

void RecordingTrayShell::EmitBalloonShown() { emit balloonShown(); }

void RecordingTrayShell::EmitBalloonHidden() { emit balloonHidden(); }

void RecordingTrayShell::EmitBalloonTimedOut() { emit balloonTimedOut(); }

void RecordingTrayShell::EmitBalloonClicked() { emit balloonClicked(); }

void RecordingTrayShell::Install(const Config &config) {
    SetTrayShellFactory([config]() -> std::unique_ptr<ITrayShell> {
        auto shell = std::make_unique<RecordingTrayShell>(config);
        lastSlot() = shell.get();
        return shell;
    });
}

void RecordingTrayShell::Uninstall() { SetTrayShellFactory({}); }

RecordingTrayShell *RecordingTrayShell::Last() { return lastSlot().data(); }

RecordingTrayShell *RecordingTrayShell::Of(ITrayShell *shell) {
    return qobject_cast<RecordingTrayShell *>(shell);
}
