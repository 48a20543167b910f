#include <QDir>
#include <QAction>
#include <QLabel>
#include <QTranslator>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include "fakes.h"
#include "ui/about_dialog.h"
#include "ui/help.h"
#include "ui/main_frame.h"
#include "ui/translations.h"
#include "ui/worker_texts.h"
#include "ui/pstorian_view.h"

namespace pstorian::testing {

class AboutHelpTest : public QObject {
  Q_OBJECT

 private slots:
  // The setting is read from <system folder>/Corvane/Pstorian.conf, the file the README and
  // the help page name; the test writes that file itself rather than through QSettings, so
  // a reader of another file or format cannot pass.
  void theHelpIsFoundThroughThePathSettingInPstorianConfElseTheDataFolder() {
    QTemporaryDir dir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, dir.path());
    QVERIFY(help_file_path().endsWith(QStringLiteral("/share/pstorian/help/index.html")));
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("Corvane")));
    auto write_conf = [&](const QByteArray& text) {
      QFile conf(dir.filePath(QStringLiteral("Corvane/Pstorian.conf")));
      QVERIFY(conf.open(QIODevice::WriteOnly | QIODevice::Truncate));
      conf.write(text);
    };
    write_conf("[General]\nPath=/opt/Corvane Tool\n");
    QCOMPARE(help_file_path(), QStringLiteral("/opt/Corvane Tool/help/index.html"));
    write_conf("[General]\nPath=/opt/tool/\n");
    QCOMPARE(help_file_path(), QStringLiteral("/opt/tool/help/index.html"));
    FakeDialogs dialogs;
    open_help(dialogs);
    QCOMPARE(dialogs.opened.at(0), QUrl::fromLocalFile("/opt/tool/help/index.html"));
    // A file of another name is not the setting.
    QFile::remove(dir.filePath(QStringLiteral("Corvane/Pstorian.conf")));
    QFile ini(dir.filePath(QStringLiteral("Corvane/Pstorian.ini")));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("[General]\nPath=/opt/ini\n");
    ini.close();
    QVERIFY(help_file_path().endsWith(QStringLiteral("/share/pstorian/help/index.html")));
  }

  void theShippedHelpExists() {
    QFile help(QStringLiteral(PSTORIAN_SOURCE_DIR "/resources/help/index.html"));
    QVERIFY(help.open(QIODevice::ReadOnly));
    const QByteArray page = help.readAll();
    QVERIFY(page.contains("Select file to repair"));
    QVERIFY(page.contains("Lost&amp;Found"));
  }

  void linksTurnPurpleOnceOpenedAndAFailedMailLinkSaysSo() {
    FakeDialogs dialogs;
    dialogs.open_succeeds = false;
    CAboutDialog about(dialogs);
    const QColor blue(0, 0, 255), purple(128, 0, 128);
    for (auto link : {CAboutDialog::kSales, CAboutDialog::kSupport, CAboutDialog::kWeb}) {
      QCOMPARE(about.link_label(link)->palette().color(QPalette::WindowText), blue);
      QVERIFY(about.link_label(link)->font().underline());
      QCOMPARE(about.link_label(link)->cursor().shape(), Qt::PointingHandCursor);
    }
    QTest::mouseClick(about.link_label(CAboutDialog::kSales), Qt::LeftButton);
    QVERIFY(!about.visited(CAboutDialog::kSales));
    QCOMPARE(dialogs.messages.size(), 1);
    QVERIFY(dialogs.icons[0] == MessageIcon::Error);
    QCOMPARE(dialogs.opened.at(0).scheme(), QStringLiteral("mailto"));

    // The web link counts as visited even when no browser opens.
    about.open_link(CAboutDialog::kWeb);
    QVERIFY(about.visited(CAboutDialog::kWeb));
    QCOMPARE(about.link_label(CAboutDialog::kWeb)->palette().color(QPalette::WindowText), purple);
    QCOMPARE(dialogs.messages.size(), 1);

    dialogs.open_succeeds = true;
    about.open_link(CAboutDialog::kSupport);
    QVERIFY(about.visited(CAboutDialog::kSupport));
    QCOMPARE(about.link_label(CAboutDialog::kSupport)->palette().color(QPalette::WindowText),
             purple);
  }

  // A box of the desktop's own, which says what the program does on Linux.
  void theAboutBoxHasAFrameAndSpeaksOfLinux() {
    FakeDialogs dialogs;
    CAboutDialog about(dialogs);
    QVERIFY(!(about.windowFlags() & Qt::FramelessWindowHint));
    QCOMPARE(about.windowTitle(), QStringLiteral("About Pstorian"));
    const QString text = about.findChild<QLabel*>("aboutText")->text();
    QVERIFY2(!text.contains("Windows"), qPrintable(text));
    QVERIFY(text.contains("Linux"));
  }

  // Every text goes through tr(): the translation source gathered at build time holds the
  // window's texts, and a translation for the user's locale, once installed, is used.
  void textsAreTranslatableAndATranslationForTheLocaleIsLoaded() {
#if defined(PSTORIAN_TRANSLATION_SOURCE) && defined(PSTORIAN_TEST_TRANSLATIONS)
    QFile source(QStringLiteral(PSTORIAN_TRANSLATION_SOURCE));
    QVERIFY(source.open(QIODevice::ReadOnly));
    const QByteArray ts = source.readAll();
    for (const char* text : {"Select file to repair", "Do you want to stop?", "Root Folder",
                             "Do you want to stop current process?", "Show &amp;Folder",
                             "There are %n items in this folder", "Save Attachment As"}) {
      QVERIFY2(ts.contains(text), text);
    }
    QVERIFY(!install_translations(*qApp, QLocale(QLocale::French), PSTORIAN_TEST_TRANSLATIONS));
    QVERIFY(install_translations(*qApp, QLocale(QLocale::German), PSTORIAN_TEST_TRANSLATIONS));
    {
      CMainFrame frame(UiServices{});
      QCOMPARE(frame.action(kIdOpenPst)->text(), QStringLiteral("PST &öffnen..."));
      QCOMPARE(WorkerTexts::translated("Scanning file..."), QStringLiteral("Datei wird durchsucht..."));
      QCOMPARE(WorkerTexts::translated("There are 3 items in this folder"),
               QStringLiteral("There are 3 items in this folder"));
    }
    for (QTranslator* translator : qApp->findChildren<QTranslator*>()) {
      QCoreApplication::removeTranslator(translator);
      delete translator;
    }
#else
    QSKIP("Qt's translation tools are not installed");
#endif
  }

  void theItemListKeepsArrivalOrderAndRestartsAfterAClear() {
    CPstorianView list;
    list.setup_columns();
    list.add_row("a", "", "", "");
    list.clear_rows();
    QCOMPARE(list.row_counter(), 0);
    list.add_row("first", "r", "s", "d");
    list.add_row("second", "", "", "");
    QCOMPARE(list.topLevelItemCount(), 2);
    QCOMPARE(list.topLevelItem(0)->text(0), QStringLiteral("first"));
    QCOMPARE(list.topLevelItem(1)->text(0), QStringLiteral("second"));
    QCOMPARE(list.topLevelItem(1)->text(3), QString());
  }
};

int run_about_help_tests(int argc, char** argv) {
  AboutHelpTest test;
  return QTest::qExec(&test, argc, argv);
}

}  // namespace pstorian::testing

#include "about_help_test.moc"
