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
#include <QPushButton>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>

#include "app/live_stack.h"
#include "config/paths.h"
#include "config/settings.h"
#include "output/calibration_library.h"
#include "ui/calibration_menu.h"
#include "ui/gui_main.h"
#include "ui/guide_window.h"
#include "ui/main_window.h"
#include "ui/stack_panel.h"
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

// The program on those settings (saved to ini), its recording made through Record.
void open_and_record(const Settings& settings, const std::filesystem::path& ini,
                     std::unique_ptr<DesktopProgram>& program) {
  QVERIFY(save_settings(settings, ini));
  AppOptions options;
  options.settings_file = ini;
  auto opened = DesktopProgram::open(options);
  QVERIFY2(opened.ok(), opened.message().c_str());
  program = std::move(*opened);
  MainWindow& window = program->main_window();
  window.action(Command::Record)->trigger();
  QTRY_VERIFY_WITH_TIMEOUT(window.action(Command::Record)->isEnabled(), 60000);
}

// The program on the simulated camera with the live stack on, recording to
// <home>/m42_000.avi.
std::unique_ptr<DesktopProgram> open_stacking(const QTemporaryDir& home, int32_t count) {
  qputenv("HOME", home.path().toUtf8());
  Settings settings = default_settings(home.path().toStdString());
  settings.port = settings.source = "sim";
  // Pictures for people get longer exposures, so the galaxy shows.
  settings.exposure = qEnvironmentVariableIsEmpty("NOCTRA_SCREENSHOT_DIR") ? 300 : 5000;
  settings.count = count;
  settings.auto_increment = 1;
  settings.stack_on = 1;
  settings.image_file_path = (home.path() + "/m42.avi").toStdString();
  const std::filesystem::path ini = (home.path() + "/Noctra.ini").toStdString();
  if (!save_settings(settings, ini)) return nullptr;
  AppOptions options;
  options.settings_file = ini;
  auto opened = DesktopProgram::open(options);
  return opened ? std::move(*opened) : nullptr;
}

QStringList csv_rows(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
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
    // Each frame gets its point once measured; a slow machine (a sanitizer
    // build) may drop a frame whose successor came before it was measured.
    QTRY_VERIFY_WITH_TIMEOUT(star.hfd_series()->count() == 3 || window.analyses_dropped() > 0,
                             10000);
    QVERIFY(star.hfd_series()->count() >= 1);
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
    std::unique_ptr<DesktopProgram> program;
    open_and_record(settings, ini, program);
    if (QTest::currentTestFailed()) return;
    MainWindow& window = program->main_window();
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

  // With a master flat of 0.5 in the library the calibrated view is twice as
  // bright as the frame; switched off, the view paints the frame again.
  void calibrate_the_view_paints_the_calibrated_frame() {
    QTemporaryDir home;
    QVERIFY(home.isValid());
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + "/data").toUtf8());
    StoredMaster flat;
    flat.master.kind = MasterKind::Flat;
    flat.master.times = {1, 1};
    flat.master.frames_combined = 16;
    flat.master.image.resize(640, 480, 1);
    std::fill(flat.master.image.samples.begin(), flat.master.image.samples.end(), 0.5F);
    flat.identity = {640, 480, "sim", "sim", CaptureMode::LowRes, KeptField::Both, false};
    CalibrationLibrary library(default_calibration_folder(home.path().toStdString()));
    QVERIFY(library.save(flat).ok());
    Settings settings = default_settings(home.path().toStdString());
    settings.port = settings.source = "sim";
    settings.exposure = 200;
    settings.count = 1;
    settings.image_file_path = (home.path() + "/m42.avi").toStdString();
    const std::filesystem::path ini = (home.path() + "/Noctra.ini").toStdString();
    std::unique_ptr<DesktopProgram> program;
    open_and_record(settings, ini, program);
    if (QTest::currentTestFailed()) return;
    MainWindow& window = program->main_window();
    // The top 400 lines: the status bar's message takes some of the rest.
    const auto painted = [&window] {
      return window.frame_view()->grab().toImage().copy(0, 0, 640, 400);
    };
    const auto grey_sum = [](const QImage& image) {
      qint64 sum = 0;
      for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) sum += qGray(image.pixel(x, y));
      }
      return sum;
    };
    const QImage raw = painted();
    // The Star window measures the frame as shown: its histogram's peak
    // moves up with the flat's division.
    window.star_window_action()->trigger();
    const auto peak_level = [&window] {
      const QList<QPointF> points = window.star_window()->histogram_series()->points();
      return points.isEmpty() ? -1.0
                              : std::max_element(points.begin(), points.end(),
                                                 [](QPointF a, QPointF b) { return a.y() < b.y(); })
                                    ->x();
    };
    QTRY_VERIFY(peak_level() > 0);
    const double raw_peak = peak_level();
    QAction* calibrate = program->calibration_menu().view_action();
    QVERIFY(!calibrate->isChecked());
    calibrate->trigger();
    QTRY_VERIFY2(window.statusBar()->currentMessage().startsWith("Calibrated: flat flat_640x480"),
                 qPrintable(window.statusBar()->currentMessage()));
    QVERIFY(grey_sum(painted()) > 1.5 * grey_sum(raw));
    QTRY_VERIFY(peak_level() > 1.5 * raw_peak);
    calibrate->trigger();
    QCOMPARE(painted(), raw);
    window.close();
    QVERIFY(program->finish());
    QCOMPARE(load_settings(ini, home.path().toStdString()).calib_view, 0);
  }

  // The main view shows the stack as it grows, the panel counts its frames,
  // and Stop writes its three files beside the recording.
  void shows_and_saves_the_live_stack_of_a_recording() {
    QTemporaryDir home;
    std::unique_ptr<DesktopProgram> program = open_stacking(home, 5);
    QVERIFY(program);
    MainWindow& window = program->main_window();
    StackControls& stack = *window.stack_controls();
    QVERIFY(stack.live_stack_action()->isChecked());
    stack.panel_action()->trigger();
    window.action(Command::Record)->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(window.action(Command::Record)->isEnabled(), 60000);
    const QString fits = home.path() + "/m42_000.stack.fits";
    QTRY_VERIFY_WITH_TIMEOUT(window.statusBar()->currentMessage().contains(fits), 20000);
    QVERIFY(QFile::exists(home.path() + "/m42_000.stack.png"));
    const QStringList rows = csv_rows(home.path() + "/m42_000.stack.csv");
    QCOMPARE(rows.size(), 6);
    QVERIFY(rows[5].startsWith("4,"));
    const StackSessionStatus status = program->app().live_stack().session().status();
    QVERIFY(status.counts.stacked() >= 1);
    QVERIFY(stack.panel()->counts_label()->text().startsWith(
        QStringLiteral("Frames stacked: %1, left out: %2")
            .arg(status.counts.stacked())
            .arg(status.counts.left_out())));
    QCOMPARE(int(stack.panel()->plot()->frames().size()), 5);

    // The view is the stretched stack, not the last frame; off, the frame.
    FrameHolder stacked;
    uint64_t seen = 0;
    QVERIFY(program->app().live_stack().session().copy_view(stacked, seen) && stacked);
    const FrameHolder& raw = program->app().sequencer().main_frame();
    const auto shown = [&](const FrameHolder& frame) {
      const QImage view = window.frame_view()->grab().toImage();
      for (int y = 0; y < 480; y += 7) {
        for (int x = 0; x < 640; x += 5) {
          if (qBlue(view.pixel(x, y)) != frame->row(479 - y)[3 * x]) return false;
        }
      }
      return true;
    };
    QVERIFY(shown(stacked));
    QVERIFY(!shown(raw));
    QCoreApplication::processEvents();
    save_picture(&window, "main-window-stack");
    save_picture(stack.panel(), "stack-panel");
    stack.live_stack_action()->trigger();
    QVERIFY(shown(raw));
    window.close();
    QVERIFY(program->finish());
    QCOMPARE(load_settings((home.path() + "/Noctra.ini").toStdString(), "/h").stack_on, 0);
  }

  // A preview has a stack of its own, replaced by the recording's at its
  // first frame; a paused recording's frames are not stacked.
  void a_preview_stack_gives_way_to_the_recording_and_a_pause_stacks_nothing() {
    QTemporaryDir home;
    std::unique_ptr<DesktopProgram> program = open_stacking(home, 3);
    QVERIFY(program);
    Sequencer& sequencer = program->app().sequencer();
    const StackSession& session = program->app().live_stack().session();
    sequencer.start_run(RunKind::Preview);
    QTRY_VERIFY_WITH_TIMEOUT(session.status().counts.stacked() >= 1, 30000);
    QCOMPARE(QString::fromStdString(session.status().recording), home.path() + "/m42_000.avi");
    // Save during a preview writes beside the next recording: where that
    // cannot be, the status line says so.
    std::string& path = program->app().settings().image_file_path;
    const std::string kept = std::exchange(path, home.path().toStdString() + "/gone/m42.avi");
    program->main_window().stack_controls()->panel()->save_button()->click();
    QTRY_VERIFY_WITH_TIMEOUT(program->main_window().statusBar()->currentMessage().contains(
                                 "Can't save the stack: Can't write " + home.path() + "/gone/m42"),
                             30000);
    path = kept;
    // Two frames taken while paused in the middle of the recording: written
    // nowhere, stacked nowhere.
    CommandRouter& router = program->app().router();
    router.route(Command::Record);
    QTRY_VERIFY_WITH_TIMEOUT(sequencer.frames_written() >= 1, 30000);
    router.route(Command::Pause);
    const int32_t taken = sequencer.frames_taken();
    QTRY_VERIFY_WITH_TIMEOUT(sequencer.frames_taken() >= taken + 2, 30000);
    router.route(Command::Pause);
    QTRY_VERIFY_WITH_TIMEOUT(sequencer.capture_state() == CaptureState::Idle, 30000);
    program->main_window().close();
    QVERIFY(program->finish());
    QStringList frames;
    for (const QString& row : csv_rows(home.path() + "/m42_000.stack.csv")) {
      frames << row.section(',', 0, 0);
    }
    QCOMPARE(frames, (QStringList{"frame", "0", "1", "2"}));
  }
};

QTEST_MAIN(DesktopProgramTest)
#include "desktop_program_test.moc"
