#pragma once

#include <QDialog>
#include <QLabel>
#include <QPointer>
#include <QString>
#include <functional>

class QGroupBox;
class QPushButton;
class QUrl;

struct TVersion {
    QString Version;
    QString Suffix;
    QString Year;
};

// The program's own version record (suffix empty in this release).
TVersion ProgramVersionRecord();

// Modal about box; owned by owner unless noParent.
void ShowAboutBox(QWidget *owner, bool noParent, const TVersion &info);

// The version text without its last dotted part ("1.0.1.0" gives "1.0.1"); a text without a
// dot gives "".
QString VersionWithoutLastPart(const QString &version);

// A label that reads like a link and reports a click on it.
class TLinkLabel : public QLabel {
    Q_OBJECT
public:
    explicit TLinkLabel(const QString &text, QWidget *parent = nullptr);

signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    bool m_pressed = false;
};

// The about box: program name, icon, version, copyright, the contact links and the notices.
class TfAbout : public QDialog {
    Q_OBJECT
public:
    // Reads a program file's version text (GetFileVersionString by default).
    using VersionReader = std::function<QString(const QString &fileName)>;
    // Hands an address to the mail program or the browser (QDesktopServices by default).
    using UrlOpener = std::function<void(const QUrl &)>;

    // With noParent the box is a window of its own; otherwise owner (if any) owns it.
    TfAbout(QWidget *owner, const TVersion &info, bool noParent,
            VersionReader readVersion = VersionReader());

    void SetUrlOpener(UrlOpener opener);

    bool NoParent() const { return m_noParent; }
    QWidget *Owner() const { return m_owner; }
    const TVersion &Info() const { return m_info; }

    QGroupBox *gbAbout = nullptr;
    QLabel *imgIcon = nullptr;
    QLabel *lblName = nullptr;
    QLabel *lblVersion = nullptr;
    QLabel *lblAuthor = nullptr;
    QLabel *lblEmail0 = nullptr;
    TLinkLabel *lblEmail = nullptr;
    QLabel *lblWebSite0 = nullptr;
    TLinkLabel *lblWebSite = nullptr;
    QLabel *lblSendEMail = nullptr;
    QLabel *lblInfo = nullptr;
    QLabel *lblRedistribution = nullptr;
    QLabel *lblResponsibility = nullptr;
    QPushButton *btnOK = nullptr;

public slots:
    void lblEmailClick();
    void lblWebSiteClick();

private:
    void CreateControls();
    void ArrangeDialog();
    void FormCreate(const VersionReader &readVersion);

    bool m_noParent = false;
    QPointer<QWidget> m_owner;
    TVersion m_info;
    UrlOpener m_openUrl;
};
