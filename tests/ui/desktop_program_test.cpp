// The whole desktop program on the simulated camera: start-up, a recording
// driven through the windows, shut-down, and the file it leaves in each format.
// With NOCTRA_SCREENSHOT_DIR set it also saves pictures of the windows.

#include <QAction>
#include <QCheckBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineSeries>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include "config/settings.h"
#include "ui/gui_main.h"
#include "ui/guide_window.h"
#include "ui/main_window.h"
#include "ui/star_window.h"
#include "window_helpers.h"

using namespace noctra;
using namespace noctra::testing;

namespace {

void save_picture(QWidget* widget, const char* name) {
  const QString folder = qEnvironmentVariable("NOCTRA_SCREENSHOT_DIR");
  if (folder.isEmpty()) return;
  QDir().mkpath(folder);
  widget->grab().save(folder + "/" + name + ".png");
}

QString run_ffprobe(const QString& file) {
  QProcess probe;
  probe.start("ffprobe", {"-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                          "stream=width,height,nb_read_frames", "-of", "csv=p=0", file});
  if (!probe.waitForFinished(30000) || probe.exitCode() != 0) return {};
  return QString::fromUtf8(probe.readAllStandardOutput()).trimmed();
}

}  // namespace

class DesktopProgramTest : public QObject {
  Q_OBJECT

 private slots:
  void records_from_the_simulated_camera_into_an_avi_file() {
    QTemporaryDir home;
    QVERIFY(home.isValid());
    qputenv("HOME", home.path().toUtf8());
    for (const char* leftover : {"/_NOCTRA1.AVI", "/_NOCTRA2.AVI"}) {
      QFile file(home.path() + leftover);
      QVERIFY(file.open(QIODevice::WriteOnly));
    }
    Settings settings = default_settings(home.path().toStdString());
    settings.port = "sim";
    settings.source = "sim";
    // Pictures for people get a longer exposure, so the stars show.
    const bool pictures = !qEnvironmentVariableIsEmpty("NOCTRA_SCREENSHOT_DIR");
    settings.exposure = pictures ? 4000 : 300;
    settings.count = 3;
    settings.guiding = 1;
    settings.guide_interval = pictures ? 1500 : 200;
    settings.auto_increment = 1;
    settings.image_file_path = (home.path() + "/m42.avi").toStdString();
    const std::filesystem::path ini = (home.path() + "/Noctra.ini").toStdString();
    QVERIFY(save_settings(settings, ini));

    AppOptions options;
    options.settings_file = ini;
    auto opened = DesktopProgram::open(options);
    QVERIFY2(opened.ok(), opened.message().c_str());
    std::unique_ptr<DesktopProgram> program = std::move(*opened);
    QVERIFY(!QFile::exists(home.path() + "/_NOCTRA1.AVI"));
    QVERIFY(!QFile::exists(home.path() + "/_NOCTRA2.AVI"));
    MainWindow& window = program->main_window();
    QVERIFY(window.action(Command::Autoincrement)->isChecked());
    QVERIFY(program->guide_window().isVisible());

    // The Star window follows the frames while it is open.
    window.star_window_action()->trigger();
    StarWindow& star = *window.star_window();
    window.action(Command::Record)->trigger();
    QVERIFY(window.action(Command::Stop)->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(window.action(Command::Record)->isEnabled(), 60000);
    QVERIFY(window.windowTitle().contains("3/3"));
    QVERIFY(program->app().sequencer().main_frame().has_value());
    QVERIFY(program->app().sequencer().guide_frame().has_value());

    // The guide star: a right-click near the middle picks the bright one.
    program->guide_window().guide_right_click(program->guide_window().guide_x(),
                                              program->guide_window().guide_y());
    program->guide_window().repaint_now();
    save_picture(&window, "main-window");
    save_picture(&program->guide_window(), "guide-window");
    QCOMPARE(star.hfd_series()->count(), 3);
    QVERIFY(star.drift_x_series()->count() > 0);
    QVERIFY(star.main_label()->text().contains("HFD"));
    save_picture(&star, "star-window");
    star.stretch_box()->setChecked(true);
    save_picture(&window, "main-window-stretched");
    star.stretch_box()->setChecked(false);
    when_modal_opens([](QWidget* modal) {
      save_picture(modal, "setup-dialog");
      qobject_cast<QDialog*>(modal)->reject();
    });
    window.action(Command::Setup)->trigger();
    when_modal_opens([](QWidget* modal) {
      save_picture(modal, "about-box");
      qobject_cast<QDialog*>(modal)->accept();
    });
    window.action(Command::About)->trigger();
    if (pictures) {
      window.command(Command::Preview);
      QTest::qWait(9000);
      save_picture(&window, "preview");
      window.view_actions().zoom.at(2)->trigger();
      window.view_actions().centre_cross->trigger();
      QTest::qWait(300);
      save_picture(&window, "zoom-200");
      window.night_mode_action()->trigger();
      QTest::qWait(4500);
      save_picture(&window, "night-mode");
      save_picture(&star, "star-window-night");
      window.night_mode_action()->trigger();
      window.command(Command::Stop);
    }

    window.close();
    QVERIFY(program->finish());
    const QString written = home.path() + "/m42_000.avi";
    QVERIFY2(QFile::exists(written), qPrintable(written));
    QCOMPARE(run_ffprobe(written), QStringLiteral("640,480,3"));
    // The numbered path was saved with the settings.
    const Settings reloaded = load_settings(ini, home.path().toStdString());
    QCOMPARE(QString::fromStdString(reloaded.image_file_path), written);
  }

  // The format follows the extension of the path the windows record to.
  void records_in_each_format_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("written");
    QTest::newRow("AVI") << "m42.avi"
                         << "m42_000.avi";
    QTest::newRow("SER") << "m42.ser"
                         << "m42_000.ser";
    QTest::newRow("FITS") << "m42.fits"
                          << "m42_000.fits";
  }
  void records_in_each_format() {
    QFETCH(QString, name);
    QFETCH(QString, written);
    QTemporaryDir home;
    QVERIFY(home.isValid());
    qputenv("HOME", home.path().toUtf8());
    Settings settings = default_settings(home.path().toStdString());
    settings.port = "sim";
    settings.source = "sim";
    settings.exposure = 200;
    settings.count = 2;
    settings.auto_increment = 1;
    settings.instrument = "Sim camera";
    settings.image_file_path = (home.path() + "/" + name).toStdString();
    const std::filesystem::path ini = (home.path() + "/Noctra.ini").toStdString();
    QVERIFY(save_settings(settings, ini));

    AppOptions options;
    options.settings_file = ini;
    auto opened = DesktopProgram::open(options);
    QVERIFY2(opened.ok(), opened.message().c_str());
    std::unique_ptr<DesktopProgram> program = std::move(*opened);
    MainWindow& window = program->main_window();
    window.action(Command::Record)->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(window.action(Command::Record)->isEnabled(), 60000);
    window.close();
    QVERIFY(program->finish());

    const QString path = home.path() + "/" + written;
    QFile timing(QString(path).replace(QRegularExpression("\\.[a-z]+$"), ".timing.csv"));
    QVERIFY2(timing.open(QIODevice::ReadOnly), qPrintable(timing.fileName()));
    QCOMPARE(timing.readAll().count('\n'), 3);  // the header and one row a frame
    if (!written.endsWith(".fits")) {
      QCOMPARE(run_ffprobe(path), QStringLiteral("640,480,2"));
      return;
    }
    QProcess astropy;
    astropy.start(
        "/usr/bin/python3",
        {"-c",
         "import sys\nfrom astropy.io import fits\n"
         "for n in sys.argv[1:]:\n"
         "    h = fits.getheader(n)\n"
         "    print(h['NAXIS1'], h['NAXIS2'], h['NAXIS3'], h['INSTRUME'], h['FRAMENO'])\n",
         home.path() + "/m42_000_000000.fits", home.path() + "/m42_000_000001.fits"});
    QVERIFY(astropy.waitForFinished(60000));
    QCOMPARE(QString::fromUtf8(astropy.readAllStandardOutput()),
             QStringLiteral("640 480 3 Sim camera 0\n640 480 3 Sim camera 1\n"));
  }
};

QTEST_MAIN(DesktopProgramTest)
#include "desktop_program_test.moc"
