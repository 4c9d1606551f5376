#include "app/AboutFree.h"

#include "support/UsualFunctions.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFontDatabase>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QUrl>
#include <QVBoxLayout>

namespace {

const QString ContactEmail = QStringLiteral("vennatro@lumodev.example");
const QString WebSiteHost = QStringLiteral("www.lumodev.example");

// Captions that are formats, filled when the box is created.
const char *const VersionFormat = QT_TRANSLATE_NOOP("TfAbout", "Version %s%s");
// The author's name and the year are not translated.
const QString AuthorFormat = QStringLiteral("\u00a9 %s Lumo Dev");

// The design sizes; the box grows past them only when the font needs more room.
constexpr QSize ClientSize(392, 323);
constexpr QSize GroupSize(373, 266);
constexpr QSize LinkFrameSize(111, 23);
constexpr QSize ButtonSize(75, 25);
constexpr int NoticeWidth = 346;
constexpr int IconSide = 32;

// Replaces each "%s" in turn with the next argument; inserted text is never scanned again.
QString FillFormat(const QString &format, const QStringList &args) {
    QString result;
    qsizetype next = 0;
    qsizetype from = 0;
    for (;;) {
        const qsizetype at = format.indexOf(QLatin1String("%s"), from);
        if (at < 0) {
            result += format.mid(from);
            return result;
        }
        result += format.mid(from, at - from);
        result += next < args.size() ? args[next++] : QString();
        from = at + 2;
    }
}

template <typename W> W *Named(W *widget, const char *name) {
    widget->setObjectName(QLatin1String(name));
    return widget;
}

QLabel *Notice(const QString &text, const char *name) {
    auto *label = Named(new QLabel(text), name);
    label->setWordWrap(true);
    label->setMinimumWidth(NoticeWidth);
    return label;
}

// A link label centred in a lowered frame.
QFrame *Framed(QLabel *link) {
    auto *frame = new QFrame;
    frame->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    auto *box = new QHBoxLayout(frame);
    box->setContentsMargins(8, 2, 8, 2);
    box->addWidget(link, 0, Qt::AlignCenter);
    return frame;
}

} // namespace

TVersion ProgramVersionRecord() { return TVersion{QString(), QString(), QStringLiteral("2026")}; }

QString VersionWithoutLastPart(const QString &version) {
    const qsizetype dot = version.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : version.left(dot);
}

TLinkLabel::TLinkLabel(const QString &text, QWidget *parent) : QLabel(text, parent) {
    setCursor(Qt::PointingHandCursor);
    setAlignment(Qt::AlignCenter);
    QPalette colours = palette();
    colours.setColor(QPalette::WindowText, colours.color(QPalette::Highlight));
    setPalette(colours);
}

void TLinkLabel::mousePressEvent(QMouseEvent *event) {
    m_pressed = event->button() == Qt::LeftButton;
    QLabel::mousePressEvent(event);
}

void TLinkLabel::mouseReleaseEvent(QMouseEvent *event) {
    // A click is a press and a release of the left button over the label.
    const bool click = m_pressed && event->button() == Qt::LeftButton &&
                       rect().contains(event->position().toPoint());
    m_pressed = false;
    QLabel::mouseReleaseEvent(event);
    if (click)
        emit clicked();
}

TfAbout::TfAbout(QWidget *owner, const TVersion &info, bool noParent, VersionReader readVersion)
    : QDialog(noParent ? nullptr : owner), m_noParent(noParent), m_owner(owner), m_info(info),
      m_openUrl([](const QUrl &url) { QDesktopServices::openUrl(url); }) {
    setObjectName(QStringLiteral("fAbout"));
    setWindowTitle(tr("About"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    if (QFontDatabase::families().contains(QStringLiteral("Tahoma")))
        setFont(QFont(QStringLiteral("Tahoma"), 8));

    CreateControls();
    FormCreate(readVersion ? readVersion : VersionReader(GetFileVersionString));
    ArrangeDialog();
    btnOK->setFocus();
}

void TfAbout::SetUrlOpener(UrlOpener opener) { m_openUrl = std::move(opener); }

void TfAbout::CreateControls() {
    gbAbout = Named(new QGroupBox, "gbAbout");
    imgIcon = Named(new QLabel, "imgIcon");
    imgIcon->setFixedSize(IconSide, IconSide);
    lblName = Named(new QLabel, "lblName");
    lblVersion = Named(new QLabel(tr(VersionFormat)), "lblVersion");
    lblAuthor = Named(new QLabel(AuthorFormat), "lblAuthor");

    lblEmail0 = Named(new QLabel(tr("E-mail:")), "lblEmail0");
    lblEmail0->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lblEmail = Named(new TLinkLabel(ContactEmail), "lblEmail");
    connect(lblEmail, &TLinkLabel::clicked, this, &TfAbout::lblEmailClick);

    lblWebSite0 = Named(new QLabel(tr("Web site:")), "lblWebSite0");
    lblWebSite0->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lblWebSite = Named(new TLinkLabel(WebSiteHost), "lblWebSite");
    connect(lblWebSite, &TLinkLabel::clicked, this, &TfAbout::lblWebSiteClick);

    lblSendEMail = Notice(tr("If you have any suggestion, find a bug, etc., send me an e-mail."),
                          "lblSendEMail");
    lblInfo = Notice(tr("This program is free of charge: you may use it at home and "
                        "at work for as long as you like, with no registration."),
                     "lblInfo");
    lblRedistribution = Notice(tr("You may pass on copies of the program to others, provided that "
                                  "its files stay unchanged and no fee is asked for them."),
                               "lblRedistribution");
    lblResponsibility =
        Notice(tr("The program is provided as it is, without any warranty. The author is "
                  "not liable for any damage or loss of data that comes from using it or "
                  "from being unable to use it."),
               "lblResponsibility");

    btnOK = Named(new QPushButton(tr("&OK")), "btnOK");
    btnOK->setDefault(true);
    connect(btnOK, &QPushButton::clicked, this, &QDialog::accept);
}

void TfAbout::ArrangeDialog() {
    auto *title = new QVBoxLayout;
    title->setSpacing(6);
    title->addWidget(lblName);
    title->addWidget(lblVersion);
    title->addStretch(1);

    auto *top = new QHBoxLayout;
    top->setContentsMargins(5, 0, 0, 0);
    top->setSpacing(13);
    top->addWidget(imgIcon, 0, Qt::AlignTop);
    top->addLayout(title, 1);

    auto *author = new QHBoxLayout;
    author->setContentsMargins(5, 0, 0, 0);
    author->addWidget(lblAuthor);

    auto *links = new QHBoxLayout;
    links->setContentsMargins(5, 0, 0, 0);
    links->setSpacing(6);
    links->addWidget(lblEmail0);
    QFrame *emailFrame = Framed(lblEmail);
    QFrame *webSiteFrame = Framed(lblWebSite);
    links->addWidget(emailFrame);
    links->addSpacing(8);
    links->addWidget(lblWebSite0);
    links->addWidget(webSiteFrame);
    links->addStretch(1);

    auto *content = new QVBoxLayout(gbAbout);
    content->setContentsMargins(15, 15, 12, 12);
    content->setSpacing(6);
    content->addLayout(top);
    content->addSpacing(4);
    content->addLayout(author);
    content->addSpacing(8);
    content->addLayout(links);
    content->addSpacing(10);
    content->addWidget(lblSendEMail);
    content->addWidget(lblInfo);
    content->addWidget(lblRedistribution);
    content->addWidget(lblResponsibility);
    content->addStretch(1);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(btnOK);
    buttons->addStretch(1);

    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(10, 10, 9, 8);
    outer->setSpacing(14);
    outer->addWidget(gbAbout);
    outer->addLayout(buttons);

    // The design sizes are a floor: a wider font makes the box larger, never cuts its text.
    for (QFrame *frame : {emailFrame, webSiteFrame})
        frame->setMinimumSize(frame->minimumSizeHint().expandedTo(LinkFrameSize));
    btnOK->setMinimumSize(btnOK->sizeHint().expandedTo(ButtonSize));
    gbAbout->setMinimumSize(gbAbout->minimumSizeHint().expandedTo(GroupSize));

    outer->activate();
    const QSize minimum = outer->totalMinimumSize().expandedTo(ClientSize);
    int height = minimum.height();
    if (outer->hasHeightForWidth())
        height = qMax(height, outer->totalHeightForWidth(minimum.width()));
    setFixedSize(minimum.width(), height);

    // Centred on the screen, also when a window owns the box.
    QScreen *screen = parentWidget() ? parentWidget()->screen() : QGuiApplication::primaryScreen();
    if (screen)
        move(screen->availableGeometry().center() - rect().center());
}

void TfAbout::FormCreate(const VersionReader &readVersion) {
    m_info.Version = VersionWithoutLastPart(readVersion(QCoreApplication::applicationFilePath()));
    lblVersion->setText(FillFormat(tr(VersionFormat), {m_info.Version, m_info.Suffix}));
    imgIcon->setPixmap(
        QApplication::windowIcon().pixmap(QSize(IconSide, IconSide), devicePixelRatio()));
    lblName->setText(QCoreApplication::applicationName());
    lblAuthor->setText(FillFormat(AuthorFormat, {m_info.Year}));
}

void TfAbout::lblEmailClick() { m_openUrl(QUrl(QStringLiteral("mailto:") + lblEmail->text())); }

void TfAbout::lblWebSiteClick() {
    m_openUrl(QUrl(QStringLiteral("http://") + lblWebSite->text() + QLatin1Char('/')));
}

void ShowAboutBox(QWidget *owner, bool noParent, const TVersion &info) {
    TfAbout box(owner, info, noParent);
    box.exec();
}
