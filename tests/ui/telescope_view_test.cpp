// At the telescope: the status line in each state, the traps that used to
// be silent, zoom with its scroll bars and the chosen focus star, and the
// windows' layout kept from one start to the next.

#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>

#include "main_window_rig.h"
#include "ui/gui_main.h"
#include "ui/setup_dialog.h"
#include "ui/star_window.h"
#include "ui/status_bar.h"

using namespace noctra;
using namespace noctra::testing;

namespace {

// A dark frame with Gaussian stars at (column, guide y, peak above the sky).
FrameImage stars_frame(std::initializer_list<std::array<double, 3>> stars) {
  FrameImage frame = *FrameImage::create(640, 480);
  for (int32_t r = 0; r < frame.height(); ++r) {
    for (int32_t c = 0; c < frame.width(); ++c) {
      double value = 12 + ((c * 7 + r * 13) % 3);
      for (const auto& [x, y, peak] : stars) {
        const double d2 =
            (c - x) * (c - x) + (r - (frame.height() - y)) * (r - (frame.height() - y));
        value += peak * std::exp(-d2 / (2 * 1.6 * 1.6));
      }
      const auto byte = static_cast<uint8_t>(std::lround(std::min(255.0, value)));
      uint8_t* pixel = frame.row(r) + 3 * c;
      pixel[0] = pixel[1] = pixel[2] = byte;
    }
  }
  return frame;
}

}  // namespace

class TelescopeViewTest : public QObject {
  Q_OBJECT

 private slots:
  void status_line_tells_each_state() {
    QTemporaryDir dir;
    Settings initial;
    initial.image_file_path = dir.filePath("m42.avi").toStdString();
    initial.exposure = 2000;
    initial.delay = 1000;
    initial.count = 3;
    Rig rig(initial);
    rig.window.set_simulated_probe([] { return true; });
    StatusLine& line = *rig.window.status_line();
    const struct {
      std::function<void()> step;
      QStringList shown;  // the labels in order, each by its start
    } steps[] = {
        {[] {}, {"Idle", "next file m42.avi", "", "SIMULATED"}},
        {[&] { rig.window.command(Command::Preview); },
         {"Preview", "frame 0", "exposure 2 s left", "next file m42.avi", "", "SIMULATED"}},
        {[&] { rig.window.command(Command::Record); },
         {"Recording", "frame 0 of 3", "exposure 2 s left, recording 0:08 left", "writing m42.avi",
          "", "SIMULATED"}},
        {[&] {
           rig.sequencer.sequencer_tick();
           rig.clock.now += 1000;
           rig.sequencer.sequencer_tick();
         },
         {"Recording", "frame 0 of 3", "exposure 1 s left, recording 0:07 left", "writing m42.avi",
          "", "SIMULATED"}},
        {[&] { rig.window.command(Command::Pause); },
         {"Paused", "frame 0 of 3", "exposure 1 s left, recording 0:07 left", "writing m42.avi", "",
          "SIMULATED"}},
        {[&] { rig.window.command(Command::Stop); },
         {"Idle", "next file m42.avi", "", "SIMULATED"}},
    };
    for (const auto& s : steps) {
      s.step();
      const QStringList labels = line.text().split(" | ");
      QVERIFY2(labels.size() == s.shown.size(), qPrintable(line.text()));
      for (qsizetype k = 0; k < labels.size(); ++k) {
        QVERIFY2(labels[k].startsWith(s.shown[k]), qPrintable(line.text()));
      }
      QVERIFY2(line.text().contains(" free, "), qPrintable(line.text()));
    }
    // A passing note of another window shows beside the state.
    rig.window.statusBar()->showMessage(QStringLiteral("No master dark"), 5000);
    QCOMPARE(line.text(), QStringLiteral("Idle | SIMULATED"));
    rig.window.statusBar()->clearMessage();
    QVERIFY(line.text().contains("next file"));
  }

  void traps_are_said_out_loud() {
    QTemporaryDir dir;
    Settings initial;
    initial.image_file_path = dir.filePath("old.avi").toStdString();
    std::ofstream(initial.image_file_path) << "an older recording";
    for (const int auto_increment : {1, 0}) {
      initial.auto_increment = auto_increment;
      Rig rig(initial);
      QCOMPARE(rig.window.status_line()->text().contains("next recording replaces old.avi"),
               auto_increment == 0);
      QCOMPARE(rig.window.status_line()->warning_shown(), auto_increment == 0);
    }

    // A number the Setup field does not take is named; the header texts are kept.
    Rig rig;
    rig.settings.count = 7;
    when_modal_opens([](QWidget* w) {
      auto* dialog = qobject_cast<SetupDialog*>(w);
      qobject_cast<QLineEdit*>(dialog->control(kSetupCount))->setText("99999999999");
      qobject_cast<QLineEdit*>(dialog->control(kSetupObserver))->setText("A. Observer");
      qobject_cast<QLineEdit*>(dialog->control(kSetupTelescope))->setText("Newton 200/1000");
      qobject_cast<QPushButton*>(dialog->control(kSetupOk))->click();
    });
    rig.window.command(Command::Setup);
    QCOMPARE(rig.settings.count, 7);
    QCOMPARE(rig.window.statusBar()->currentMessage(),
             QStringLiteral("Number of frames \"99999999999\" not taken, kept 7"));
    QCOMPARE(rig.settings.observer, std::string("A. Observer"));
    QCOMPARE(rig.settings.telescope, std::string("Newton 200/1000"));

    // The file dialog refuses a name too long for the settings and asks again.
    FileDialogChooser chooser;
    const QString folder = dir.filePath(QString(200, QLatin1Char('f')));
    QVERIFY(QDir().mkpath(folder));
    const QString too_long = folder + "/" + QString(80, QLatin1Char('n')) + ".avi";
    QString refusal;
    when_modal_opens([&](QWidget* w) {
      auto* files = qobject_cast<QFileDialog*>(w);
      files->selectFile(too_long);
      when([files] { return QApplication::activeModalWidget() != files; },
           [&] {
             auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
             refusal = box->text();
             box->accept();
             when_modal_opens([](QWidget* again) { qobject_cast<QFileDialog*>(again)->reject(); });
           });
      QMetaObject::invokeMethod(files, "accept");
    });
    QVERIFY(!chooser.browse_output_path(nullptr, dir.filePath("a.avi").toStdString()));
    QVERIFY2(refusal.contains("longer than 259 characters"), qPrintable(refusal));

    // Without a display the program says so instead of aborting.
    QVERIFY(!display_reachable(nullptr, nullptr, nullptr));
    QVERIFY(!display_reachable("", "", ""));
    QVERIFY(display_reachable(":0", nullptr, nullptr));
    QVERIFY(display_reachable(nullptr, "wayland-0", nullptr));
    QVERIFY(display_reachable(nullptr, nullptr, "offscreen"));
  }

  void zoom_scrolls_and_a_click_chooses_the_focus_star() {
    Rig rig;
    rig.window.layout_windows();
    rig.window.resize(rig.window.size() + QSize(100, 100));
    rig.window.star_window_action()->trigger();
    // A saturated star at the top left, an unsaturated one at the centre.
    FrameHolder frame = stars_frame({{100, 100, 600}, {320, 240, 90}});
    rig.window.repaint_main(frame);
    QLabel* star = rig.window.star_window()->main_label();
    QTRY_VERIFY2(star->text().startsWith("Brightest unsaturated star at (320.0"),
                 qPrintable(star->text()));

    FrameView* view = rig.window.frame_view();
    QScrollArea* area = rig.window.frame_area();
    const QSize viewport = area->viewport()->size();
    const struct {
      int zoom;
      QSize size;
      bool scrolls;
    } steps[] = {{kZoomFit, viewport, false},
                 {1, viewport, false},
                 {2, {1280, 960}, true},
                 {4, {2560, 1920}, true}};
    for (const auto& step : steps) {
      rig.window.view_actions().zoom.at(step.zoom)->trigger();
      QApplication::processEvents();
      QCOMPARE(view->size(), step.size);
      QCOMPARE(area->horizontalScrollBar()->maximum() > 0, step.scrolls);
      QCOMPARE(area->verticalScrollBar()->maximum() > 0, step.scrolls);
    }
    QCOMPARE(view->scale(), 4.0);
    // Each frame pixel is 4 x 4 screen pixels; the window colour beyond it.
    rig.window.view_actions().zoom.at(1)->trigger();
    QApplication::processEvents();
    const QImage shown = view->grab().toImage();
    QCOMPARE(shown.pixelColor(645, 10), view->palette().color(QPalette::Window));
    rig.window.view_actions().centre_cross->trigger();
    QVERIFY(view->grab().toImage().pixelColor(320, 100) != shown.pixelColor(320, 100));

    // A click chooses the star under it, a right click gives the choice up.
    rig.window.view_actions().zoom.at(2)->trigger();
    QApplication::processEvents();
    QTest::mouseClick(view, Qt::LeftButton, {}, view->widget_point({100, 100}).toPoint());
    rig.window.repaint_main(frame);
    QTRY_VERIFY2(star->text().startsWith("Chosen star at (100.0"), qPrintable(star->text()));
    QVERIFY(star->text().contains("saturated"));
    QTest::mouseClick(view, Qt::RightButton, {}, QPoint(10, 10));
    rig.window.repaint_main(frame);
    QTRY_VERIFY2(star->text().startsWith("Brightest unsaturated"), qPrintable(star->text()));
  }

  void layout_is_kept_from_one_start_to_the_next() {
    const QPalette day = QApplication::palette();
    QTemporaryDir dir;
    const std::filesystem::path ini = dir.filePath("Noctra.ini").toStdString();
    {
      Rig rig;
      // First start: side by side where the screen has room, and nothing
      // over the main window's title, menu and toolbar.
      const QRect screen = rig.window.screen()->availableGeometry();
      rig.window.star_window_action()->trigger();
      const QRect main = rig.window.frameGeometry();
      const QRect controls(
          main.topLeft(),
          QPoint(main.right(), rig.window.mapToGlobal(rig.window.frame_area()->pos()).y() - 1));
      for (const QWidget* other :
           {static_cast<QWidget*>(&rig.guide), static_cast<QWidget*>(rig.window.star_window())}) {
        QVERIFY(screen.contains(other->frameGeometry().topLeft()));
        QVERIFY(!other->frameGeometry().intersects(controls));
      }

      rig.window.view_actions().zoom.at(2)->trigger();
      rig.window.view_actions().centre_cross->trigger();
      rig.window.star_window()->stretch_box()->setChecked(true);
      rig.window.night_mode_action()->trigger();
      QCOMPARE(QApplication::palette().color(QPalette::Window), QColor(Qt::black));
      rig.window.move(40, 50);
      rig.window.close();
      QVERIFY(save_settings(rig.settings, ini));
    }
    QApplication::setPalette(day);  // one main window a program: it starts by day
    Rig rig(load_settings(ini, "/home/x"));
    QCOMPARE(rig.window.frame_view()->zoom(), 2);
    QVERIFY(rig.window.view_actions().zoom.at(2)->isChecked());
    QVERIFY(rig.window.view_actions().centre_cross->isChecked());
    QVERIFY(rig.window.frame_view()->stretch());
    QVERIFY(rig.window.star_window()->isVisible());
    QVERIFY(rig.window.night_mode_action()->isChecked());
    QCOMPARE(rig.window.pos(), QPoint(40, 50));
    rig.window.night_mode_action()->trigger();
    QCOMPARE(QApplication::palette(), day);
  }
};

QTEST_MAIN(TelescopeViewTest)
#include "telescope_view_test.moc"
