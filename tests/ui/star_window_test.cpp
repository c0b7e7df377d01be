// The Star window on synthetic star frames, and the main view's display
// stretch: it changes the pixels shown, never the frame.

#include "ui/star_window.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineSeries>
#include <QRegularExpression>
#include <QTest>
#include <cmath>
#include <cstring>

#include "ui/main_window.h"

using namespace noctra;

namespace {

// A dark 640 x 480 frame (sky level 12, B = G = R) with one faint Gaussian
// star at (column, y) in guide coordinates.
FrameImage star_frame(double column, double y, double amplitude) {
  FrameImage frame = *FrameImage::create(640, 480);
  const double row = frame.height() - y;
  uint32_t state = 99;
  for (int32_t r = 0; r < frame.height(); ++r) {
    uint8_t* line = frame.row(r);
    for (int32_t c = 0; c < frame.width(); ++c) {
      state = state * 1664525u + 1013904223u;
      const double noise = static_cast<double>(state >> 30) - 1.5;
      const double d2 = (c - column) * (c - column) + (r - row) * (r - row);
      const double value = 12 + noise + amplitude * std::exp(-d2 / (2 * 1.5 * 1.5));
      const auto byte = static_cast<uint8_t>(std::lround(std::min(255.0, value)));
      line[3 * c] = line[3 * c + 1] = line[3 * c + 2] = byte;
    }
  }
  return frame;
}

}  // namespace

class StarWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void shows_the_numbers_and_plots_of_the_stars() {
    StarWindow window(nullptr);
    QCOMPARE(window.drift_x_series()->count(), 0);
    int64_t guide_frames = 0;
    const auto guide_frame_arrived = [&](const FrameImage& frame) {
      GuideFrameAnalysis guide;
      analyse_guide_frame(frame, 320, 240, guide);
      guide.frame = guide_frames++;
      window.show_guide(guide);
    };
    const FrameImage main = star_frame(200.25, 150.5, 60);
    MainFrameAnalysis main_analysis;
    analyse_main_frame(main, main_analysis);
    window.show_main(main_analysis);
    QVERIFY2(window.main_label()->text().contains("HFD 3."),
             qPrintable(window.main_label()->text()));
    QVERIFY(window.main_label()->text().contains("(200.2"));
    QCOMPARE(window.hfd_series()->count(), 1);
    QCOMPARE(window.fwhm_series()->count(), 1);
    QCOMPARE(window.histogram_series()->count(), 256);
    // The sky's level holds the most pixels.
    const QPointF sky = window.histogram_series()->at(12);
    QVERIFY(sky.y() > window.histogram_series()->at(100).y());

    // The guide star drifts 0.5 px right per frame from the guide position.
    for (int i = 0; i < 4; ++i) {
      const FrameImage guide = star_frame(320 + 0.5 * i, 240, 80);
      guide_frame_arrived(guide);
    }
    QCOMPARE(window.drift_x_series()->count(), 4);
    QCOMPARE(window.drift_y_series()->count(), 4);
    QVERIFY(std::abs(window.drift_x_series()->at(3).y() - 1.5) < 0.05);
    QVERIFY(std::abs(window.drift_y_series()->at(3).y()) < 0.05);
    QVERIFY2(window.guide_label()->text().contains(QRegularExpression("dx 1\\.(49|50|51)")),
             qPrintable(window.guide_label()->text()));
    QVERIFY(window.guide_label()->text().contains("SNR"));

    // A frame without a star says so and adds no point.
    guide_frame_arrived(star_frame(320, 240, 0));
    QVERIFY(window.guide_label()->text().contains("none"));
    QCOMPARE(window.drift_x_series()->count(), 4);

    // The history keeps the recent frames only.
    for (int i = 0; i < kStarHistoryFrames + 5; ++i) guide_frame_arrived(star_frame(321, 241, 80));
    QCOMPARE(window.drift_x_series()->count(), kStarHistoryFrames);

    // What a main frame costs the measuring thread, and showing it the window.
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 20; ++i) analyse_main_frame(main, main_analysis);
    const double measure_ms = clock.nsecsElapsed() / 20e6;
    clock.restart();
    for (int i = 0; i < 20; ++i) window.show_main(main_analysis);
    qInfo("per main frame %.3f ms measuring, %.3f ms showing", measure_ms,
          clock.nsecsElapsed() / 20e6);
  }

  void stretch_changes_only_the_pixels_shown() {
    FrameHolder holder = star_frame(100, 100, 25);
    const FrameImage before = holder->clone();
    FrameView view(nullptr);
    view.set_frame(&holder);
    MainFrameAnalysis levels;
    analyse_main_frame(*holder, levels);
    view.set_stretch_levels(levels.stretch);
    view.resize(640, 480);
    QVERIFY(!view.stretch());
    const QImage plain = view.grab().toImage();
    StarWindow window([&view](bool on) { view.set_stretch(on); });
    window.stretch_box()->setChecked(true);
    QVERIFY(view.stretch());
    const QImage stretched = view.grab().toImage();
    // Unstretched the view shows the stored levels as they are (top line
    // first); stretched the sky goes dark and the faint star bright.
    const QPoint star_at(100, 99);  // guide y 100: stored row 380, client row 99
    const QPoint sky_at(500, 400);
    QCOMPARE(qBlue(plain.pixel(sky_at)), static_cast<int>(holder->row(479 - 400)[3 * 500]));
    QVERIFY(qGray(stretched.pixel(sky_at)) < qGray(plain.pixel(sky_at)) + 60);
    QVERIFY2(qGray(stretched.pixel(star_at)) > 200,
             qPrintable(QString::number(qGray(stretched.pixel(star_at)))));
    QVERIFY(qGray(plain.pixel(star_at)) < 60);
    QVERIFY(std::memcmp(before.block(), holder->block(), before.block_size()) == 0);
    window.stretch_box()->setChecked(false);
    QCOMPARE(view.grab().toImage(), plain);
  }
};

QTEST_MAIN(StarWindowTest)
#include "star_window_test.moc"
