// The about box: the version and copyright lines, the two links, the keys that close it and
// who owns it.
#include "Version.h"
#include "app/AboutFree.h"
#include "support/UsualFunctions.h"

#include <QApplication>
#include <QFrame>
#include <QGroupBox>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <QtTest>

namespace {

TfAbout::VersionReader Reads(const QString &version, QStringList *asked = nullptr) {
    return [version, asked](const QString &fileName) {
        if (asked)
            *asked << fileName;
        return version;
    };
}

} // namespace

class TestAbout : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void versionWithoutLastPart_data();
    void versionWithoutLastPart();
    void versionLine_data();
    void versionLine();
    void nameIconAndCopyright();
    void programVersionRecord();
    void layoutAndTexts();
    void linksOpenMailAndBrowser();
    void enterAndEscClose_data();
    void enterAndEscClose();
    void showAboutBoxOwnership_data();
    void showAboutBoxOwnership();
};

void TestAbout::initTestCase() {
    QCoreApplication::setApplicationName(QStringLiteral("Vennatro"));
    QPixmap icon(64, 64);
    icon.fill(Qt::darkCyan);
    QApplication::setWindowIcon(QIcon(icon));
}

void TestAbout::versionWithoutLastPart_data() {
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("cut");
    QTest::newRow("four numbers") << "1.0.1.0"
                                  << "1.0.1";
    QTest::newRow("two numbers") << "2.5"
                                 << "2";
    QTest::newRow("no dot") << "(error)"
                            << "";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("trailing dot") << "1.2."
                                  << "1.2";
}

void TestAbout::versionWithoutLastPart() {
    QFETCH(QString, version);
    QFETCH(QString, cut);
    QCOMPARE(VersionWithoutLastPart(version), cut);
}

void TestAbout::versionLine_data() {
    QTest::addColumn<QString>("fileVersion");
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QString>("line");
    QTest::newRow("four numbers") << "1.0.1.0"
                                  << ""
                                  << "Version 1.0.1";
    QTest::newRow("with suffix") << "3.2.1.7"
                                 << " beta"
                                 << "Version 3.2.1 beta";
    QTest::newRow("no version information") << "(error)"
                                            << ""
                                            << "Version ";
    QTest::newRow("suffix only") << "(error)"
                                 << "-rc1"
                                 << "Version -rc1";
    QTest::newRow("placeholder in suffix stays") << "1.0.0.0"
                                                 << "%s"
                                                 << "Version 1.0.0%s";
}

void TestAbout::versionLine() {
    QFETCH(QString, fileVersion);
    QFETCH(QString, suffix);
    QFETCH(QString, line);
    QStringList asked;
    TfAbout box(nullptr, TVersion{QString(), suffix, QStringLiteral("2026")}, true,
                Reads(fileVersion, &asked));
    QCOMPARE(box.lblVersion->text(), line);
    // The program's own file is the one read, and the box keeps the cut version.
    QCOMPARE(asked, QStringList{QCoreApplication::applicationFilePath()});
    QCOMPARE(box.Info().Version, VersionWithoutLastPart(fileVersion));
    QCOMPARE(box.Info().Suffix, suffix);
}

void TestAbout::nameIconAndCopyright() {
    TfAbout box(nullptr, TVersion{QStringLiteral("ignored"), QString(), QStringLiteral("1999")},
                true, Reads(QStringLiteral("1.0.1.0")));
    QCOMPARE(box.lblName->text(), QStringLiteral("Vennatro"));
    QCOMPARE(box.lblAuthor->text(), QStringLiteral("\u00a9 1999 Lumo Dev"));
    QCOMPARE(box.Info().Version, QStringLiteral("1.0.1")); // the caller's text is replaced
    QCOMPARE(box.imgIcon->size(), QSize(32, 32));
    const QPixmap shown = box.imgIcon->pixmap();
    QVERIFY(!shown.isNull());
    QCOMPARE(shown.toImage().pixelColor(shown.width() / 2, shown.height() / 2),
             QColor(Qt::darkCyan));
}

void TestAbout::programVersionRecord() {
    const TVersion v = ProgramVersionRecord();
    QCOMPARE(v.Version, QString());
    QCOMPARE(v.Suffix, QString());
    QCOMPARE(v.Year, QStringLiteral("2026"));
}

void TestAbout::layoutAndTexts() {
    TfAbout box(nullptr, ProgramVersionRecord(), true, Reads(QStringLiteral("1.0.1.0")));
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    QCOMPARE(box.windowTitle(), QStringLiteral("About"));
    QCOMPARE(box.minimumSize(), box.maximumSize());
    QVERIFY(box.width() >= 392 && box.height() >= 323);
    QVERIFY(!(box.windowFlags() & Qt::WindowMinMaxButtonsHint));
    QVERIFY(box.gbAbout->title().isEmpty());
    QCOMPARE(box.gbAbout->pos(), QPoint(10, 10));
    QVERIFY(box.gbAbout->width() >= 373 && box.gbAbout->height() >= 266);
    QCOMPARE(box.btnOK->text(), QStringLiteral("&OK"));
    QVERIFY(box.btnOK->isDefault());
    QVERIFY(box.btnOK->width() >= 75 && box.btnOK->height() >= 25);
    QVERIFY(box.btnOK->y() > box.gbAbout->geometry().bottom());
    // Centred under the group.
    QVERIFY(qAbs(box.btnOK->geometry().center().x() - box.gbAbout->geometry().center().x()) <= 1);
    QTRY_COMPARE(QApplication::focusWidget(), box.btnOK);

    QCOMPARE(box.lblEmail0->text(), QStringLiteral("E-mail:"));
    QCOMPARE(box.lblWebSite0->text(), QStringLiteral("Web site:"));
    QVERIFY(box.lblEmail0->alignment() & Qt::AlignRight);
    QVERIFY(box.lblWebSite0->alignment() & Qt::AlignRight);
    QCOMPARE(box.lblSendEMail->text(),
             QStringLiteral("If you have any suggestion, find a bug, etc., send me an e-mail."));
    for (TLinkLabel *link : {box.lblEmail, box.lblWebSite}) {
        QCOMPARE(link->cursor().shape(), Qt::PointingHandCursor);
        QCOMPARE(link->palette().color(QPalette::WindowText),
                 box.palette().color(QPalette::Highlight));
        QVERIFY(!link->autoFillBackground());
        auto *frame = qobject_cast<QFrame *>(link->parentWidget());
        QVERIFY(frame);
        QCOMPARE(frame->frameShadow(), QFrame::Sunken);
    }

    // Top to bottom as designed, and every text shown whole.
    const QList<QWidget *> order = {box.lblName,           box.lblVersion,       box.lblAuthor,
                                    box.lblEmail0,         box.lblSendEMail,     box.lblInfo,
                                    box.lblRedistribution, box.lblResponsibility};
    for (qsizetype i = 1; i < order.size(); ++i)
        QVERIFY2(order[i]->y() > order[i - 1]->y(), qPrintable(order[i]->objectName()));
    for (QLabel *label : box.findChildren<QLabel *>()) {
        if (label->text().isEmpty())
            continue;
        QVERIFY2(label->parentWidget()->rect().contains(label->geometry()),
                 qPrintable(label->objectName()));
        const int needed =
            label->wordWrap() ? label->heightForWidth(label->width()) : label->sizeHint().height();
        QVERIFY2(label->height() >= needed, qPrintable(label->objectName()));
        if (!label->wordWrap())
            QVERIFY2(label->width() >= label->sizeHint().width(), qPrintable(label->objectName()));
        QVERIFY(!label->text().contains(QLatin1String("%s")));
    }
}

void TestAbout::linksOpenMailAndBrowser() {
    TfAbout box(nullptr, ProgramVersionRecord(), true, Reads(QStringLiteral("1.0.1.0")));
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    QList<QUrl> opened;
    box.SetUrlOpener([&](const QUrl &url) { opened << url; });

    QTest::mouseClick(box.lblEmail, Qt::LeftButton);
    QCOMPARE(opened.size(), 1);
    QCOMPARE(opened[0].toString(), QStringLiteral("mailto:") + box.lblEmail->text());
    QCOMPARE(opened[0].toString(), QStringLiteral("mailto:vennatro@lumodev.example"));

    QTest::mouseClick(box.lblWebSite, Qt::LeftButton);
    QCOMPARE(opened.size(), 2);
    QCOMPARE(opened[1].toString(), QStringLiteral("http://www.lumodev.example/"));

    // A press that is released outside the label, or another button, opens nothing.
    QTest::mousePress(box.lblEmail, Qt::LeftButton);
    QTest::mouseRelease(box.lblEmail, Qt::LeftButton, {}, QPoint(-5, -5));
    QTest::mouseClick(box.lblWebSite, Qt::RightButton);
    QCOMPARE(opened.size(), 2);
    QVERIFY(box.isVisible());
}

void TestAbout::enterAndEscClose_data() {
    QTest::addColumn<int>("key");
    QTest::newRow("Enter") << int(Qt::Key_Return);
    QTest::newRow("keypad Enter") << int(Qt::Key_Enter);
    QTest::newRow("Esc") << int(Qt::Key_Escape);
}

void TestAbout::enterAndEscClose() {
    QFETCH(int, key);
    TfAbout box(nullptr, ProgramVersionRecord(), true, Reads(QStringLiteral("1.0.1.0")));
    QSignalSpy finished(&box, &QDialog::finished);
    box.show();
    QVERIFY(QTest::qWaitForWindowActive(&box));
    QTRY_COMPARE(QApplication::focusWidget(), box.btnOK);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
    QCOMPARE(finished.size(), 1);
    QVERIFY(!box.isVisible());
}

void TestAbout::showAboutBoxOwnership_data() {
    QTest::addColumn<bool>("noParent");
    QTest::newRow("owned by the window") << false;
    QTest::newRow("window hidden in the tray") << true;
}

void TestAbout::showAboutBoxOwnership() {
    QFETCH(bool, noParent);
    QWidget mainWindow;
    mainWindow.show();
    QVERIFY(QTest::qWaitForWindowExposed(&mainWindow));

    QPointer<TfAbout> seen;
    QString versionLine;
    QTimer::singleShot(0, [&] {
        seen = qobject_cast<TfAbout *>(QApplication::activeModalWidget());
        if (!seen)
            return;
        QCOMPARE(seen->isModal(), true);
        QCOMPARE(seen->parentWidget(), noParent ? nullptr : &mainWindow);
        QCOMPARE(seen->Owner(), &mainWindow);
        QCOMPARE(seen->NoParent(), noParent);
        versionLine = seen->lblVersion->text();
        QTest::keyClick(seen, Qt::Key_Return);
    });
    ShowAboutBox(&mainWindow, noParent, TVersion{QString(), QStringLiteral("+x"), "2026"});
    // It was shown, and it is gone before the call returned.
    QVERIFY(!versionLine.isEmpty());
    QVERIFY(seen.isNull());
    // The real program file's stamped version, cut before its last dot, then the suffix.
    QCOMPARE(versionLine, QStringLiteral("Version ") +
                              VersionWithoutLastPart(QStringLiteral(VENNATRO_FILE_VERSION)) +
                              QStringLiteral("+x"));
}

QTEST_MAIN(TestAbout)
#include "test_about.moc"
