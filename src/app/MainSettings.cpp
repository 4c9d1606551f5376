// The main window's settings: load from the per-user store, save to it, apply to the window.
#include "app/Main.h"
#include "app/WatchPanel.h"
#include "engine/PingTarget.h"
#include "engine/WatchList.h"
#include "platform/Autostart.h"
#include "platform/SystemInfo.h"
#include "platform/gui/MessageBox.h"
#include "store/RegistryDefault.h"
#include "store/SettingsTable.h"
#include "support/Exceptions.h"
#include "support/UsualFunctions.h"

#include <QAction>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>

#include <limits>

namespace {

constexpr quint32 KeyReadAccess = 0x20019;
const char *const ErrorCaption = QT_TRANSLATE_NOOP("TfMain_Vennatro", "Error");

QStringList ItemsOf(const QComboBox *box) {
    QStringList items;
    for (int i = 0; i < box->count(); ++i)
        items << box->itemText(i);
    return items;
}

// The program users start: `vennatro` beside this window program, which it starts by exec.
QString LauncherPath() {
    const QFileInfo self(QCoreApplication::applicationFilePath());
    // On Windows the window program itself, "vennatro-window.exe": a log-on start needs no
    // console.
    if (self.fileName() == QLatin1String("vennatro-window")) {
        const QFileInfo launcher(self.dir(), QStringLiteral("vennatro"));
        if (launcher.isExecutable())
            return launcher.filePath();
    }
    return self.filePath();
}

} // namespace

void TfMain_Vennatro::LoadSettings() {
    using namespace OptionNames;
    const TOptions def = DefaultOptions();
    QString storeError;
    std::exception_ptr error;
    m_unreadValues.Forget();
    {
        TRegistryDefault reg(KeyReadAccess);
        // A store that could not be read leaves the accessor empty: every value gets its
        // default, and the reason is shown below.
        storeError = reg.LoadError();
        try {
            // Not tested: without the key every read gives its default.
            reg.OpenKey(QString::fromLatin1(SettingsKey), false);

            LoadOptions(reg, Options);

            // The command flips the mark back, shows or hides the pane and copies the mark
            // into ShowLog.
            actShowLog->setChecked(!Options.ShowLog);
            actShowLogExecute();

            const QString boxText = cmbAddress->currentText();
            cmbAddress->clear();
            cmbAddress->addItems(SplitRecentList(reg.ReadStringDefault(RecentURLs, QString())));
            cmbAddress->setCurrentIndex(-1);
            cmbAddress->setEditText(boxText);

            resize(reg.ReadIntegerDefault(WindowWidth, width()), height());
            // The height stored is the one with the log pane; a hidden pane brings it back.
            const bool logShown = actShowLog->isChecked();
            const int heightWithLog =
                reg.ReadIntegerDefault(WindowHeight, logShown ? height() : m_heightWithLog);
            if (!logShown)
                m_heightWithLog = heightWithLog;
            resize(width(), heightWithLog);
            const QRect monitor = screen()->geometry();
            move(x(), reg.ReadIntegerDefault(WindowTop, (monitor.height() - height()) / 2));
            move(reg.ReadIntegerDefault(WindowLeft, (monitor.width() - width()) / 2), y());

            KeepOnScreen();

            // Read after the older values: a store without them loads as before (hidden).
            const bool watchShown = reg.ReadBoolDefault(WatchPanelShown, false);
            m_watchPanelHeight = qMax(0, reg.ReadIntegerDefault(WatchPanelHeight, 0));
            WatchPanel->setVisible(watchShown);
            actWatched->setChecked(watchShown);

            QCoreApplication::processEvents();

            if (reg.ReadBoolDefault(Maximized, false)) {
                if (isVisible()) {
                    MaximizeCommand();
                } else {
                    // A hidden window (a -quiet start) stays hidden: it only takes the state,
                    // and the base records the bounds set above as the restored ones.
                    setWindowState(windowState() | Qt::WindowMaximized);
                }
            }
            reg.CloseKey();
        } catch (...) {
            error = std::current_exception();
            // The values from the failing one on were never read: a save puts back what the
            // file holds for them, except where the program's value changes in the meantime.
            TRegistryDefault held{TRegistryDefault::InMemory{}};
            held.OpenKey(QString::fromLatin1(SettingsKey), true);
            WriteSettings(held);
            m_unreadValues.Remember(reg, held);
        }
    }
    ApplySettings();
    if (!storeError.isEmpty())
        ShowMessageBox(this, storeError, tr(ErrorCaption), MessageIcon::Error);
    if (error)
        ShowMessageBox(this, ExceptionMessage(error), tr(ErrorCaption), MessageIcon::Error);
}

void TfMain_Vennatro::SaveSettings() {
    try {
        TRegistryDefault reg;
        if (!reg.OpenKey(QString::fromLatin1(SettingsKey), true))
            throw Exception(tr("Operation aborted"));
        Options.WatchedAddresses = Session->Watched()->Stored();
        WriteSettings(reg);
        m_unreadValues.Restore(reg);
        reg.CloseKey();

        // The log-on entry: the Run key, or the desktop's autostart file standing for it.
        if (Options.StartWithWindows)
            WriteAutostart(LauncherPath());
        else
            RemoveAutostart();
    } catch (const ERegistryException &) {
        ShowMessageBox(this, StoreWriteFailureText(), tr(ErrorCaption), MessageIcon::Error);
    } catch (...) {
        ShowMessageBox(this, ExceptionMessage(std::current_exception()), tr(ErrorCaption),
                       MessageIcon::Error);
    }
}

void TfMain_Vennatro::WriteSettings(TRegistryDefault &reg) const {
    using namespace OptionNames;
    SaveOptions(reg, Options);
    reg.WriteString(RecentURLs, JoinRecentList(ItemsOf(cmbAddress)));
    const bool maximized = windowState() & Qt::WindowMaximized;
    // With the log pane hidden the window is a strip: the height kept is the one with the pane.
    const int normalHeight = maximized ? RestoreHeight : height();
    const int storedHeight = actShowLog->isChecked() ? normalHeight : m_heightWithLog;
    reg.WriteBool(Maximized, maximized);
    if (maximized) {
        reg.WriteInteger(WindowWidth, RestoreWidth);
        reg.WriteInteger(WindowHeight, storedHeight);
        reg.WriteInteger(WindowTop, RestoreTop);
        reg.WriteInteger(WindowLeft, RestoreLeft);
    } else {
        reg.WriteInteger(WindowWidth, width());
        reg.WriteInteger(WindowHeight, storedHeight);
        reg.WriteInteger(WindowTop, y());
        reg.WriteInteger(WindowLeft, x());
    }
    reg.WriteBool(WatchPanelShown, !WatchPanel->isHidden());
    // Not yet at the height the store had (never shown, or the window too small): that one.
    const int watchHeight = m_watchPanelHeight > 0 ? m_watchPanelHeight : WatchPanel->ShownHeight();
    reg.WriteInteger(WatchPanelHeight, watchHeight);
}

void TfMain_Vennatro::ApplySettings() {
    SetAlwaysOnTop(Options.AlwaysOnTop);
    actAlwaysOnTop->setChecked(Options.AlwaysOnTop);

    UserAgent = BuildUserAgent(ProgramVersion, VersionInfo.Suffix, CurrentOsVersion(),
                               Options.ComputerNameInUserAgent, ComputerName);

    Session->ApplySettings(Options, EngineContext{UserAgent, ComputerName, MailAgent});
}
