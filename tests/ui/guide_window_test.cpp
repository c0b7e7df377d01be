// The guide window: markers drawn into the guide frame, the right-click that
// chooses the guide star, and how the frame is shown.

#include "ui/guide_window.h"

#include <QTest>

using namespace noctra;

namespace {

constexpr uint8_t kSky = 10;

// A flat 640 x 480 sky with one bright pixel at guide coordinates (x, y).
FrameImage sky_with_star(int32_t x, int32_t y) {
  FrameImage frame = *FrameImage::create(640, 480);
  for (uint8_t& byte : frame.rows()) byte = kSky;
  uint8_t* star = frame.row(480 - y) + 3 * x;
  star[0] = star[1] = star[2] = 250;
  return frame;
}

uint8_t byte_at(const FrameImage& frame, int32_t column, int32_t row, int b) {
  return frame.row(row)[3 * column + b];
}

// True when the 21 x 21 outline around (column, row) carries 128 in byte b
// and its inside does not.
bool outline_drawn(const FrameImage& frame, int32_t column, int32_t row, int b) {
  for (int32_t j = -10; j <= 10; ++j) {
    if (byte_at(frame, column + j, row - 10, b) != 128) return false;
    if (byte_at(frame, column + j, row + 10, b) != 128) return false;
    if (byte_at(frame, column - 10, row + j, b) != 128) return false;
    if (byte_at(frame, column + 10, row + j, b) != 128) return false;
  }
  return byte_at(frame, column + 5, row + 5, b) == kSky;
}

}  // namespace

class GuideWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void window_without_buttons_starting_at_the_middle() {
    FrameHolder frame;
    GuideWindow guide(frame, {});
    QCOMPARE(guide.windowTitle(), QStringLiteral("NoctraGuide"));
    const Qt::WindowFlags hints = Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                  Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint |
                                  Qt::WindowMaximizeButtonHint;
    QCOMPARE(guide.windowFlags() & hints, Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    QCOMPARE(guide.guide_x(), 320);
    QCOMPARE(guide.guide_y(), 240);
  }

  void first_paint_marks_the_middle_or_shows_nothing() {
    FrameHolder frame;
    GuideWindow guide(frame, {});
    guide.resize(640, 480);
    const QImage empty = guide.grab().toImage();
    QCOMPARE(empty.pixelColor(320, 240), empty.pixelColor(0, 0));
    frame = sky_with_star(500, 400);
    guide.grab();
    // The first marker: corners at columns 310 and 330, row indexes 230 and 250.
    QVERIFY(outline_drawn(*frame, 320, 240, 1));
  }

  void clicks_that_leave_the_guide_point() {
    const struct {
      const char* what;
      std::optional<QPoint> star;
      Qt::MouseButton button;
      QPoint at;
    } cases[] = {
        {"no frame yet", std::nullopt, Qt::RightButton, {100, 100}},
        {"too near the edge", QPoint(500, 400), Qt::RightButton, {5, 100}},
        {"left button", QPoint(200, 150), Qt::LeftButton, {200, 150}},
    };
    for (const auto& c : cases) {
      FrameHolder frame;
      if (c.star) frame = sky_with_star(c.star->x(), c.star->y());
      GuideWindow guide(frame, {});
      guide.resize(640, 480);
      QTest::mouseClick(&guide, c.button, {}, c.at);
      QVERIFY2(guide.guide_x() == 320 && guide.guide_y() == 240, c.what);
    }
  }

  void right_click_picks_the_star_and_markers_follow() {
    FrameHolder frame;
    frame = sky_with_star(200, 150);
    GuideWindow guide(frame, {});
    guide.resize(640, 480);
    guide.show();
    QVERIFY(QTest::qWaitForWindowExposed(&guide));
    QTest::mouseClick(&guide, Qt::RightButton, {}, QPoint(203, 147));
    QCOMPARE(guide.guide_x(), 200);
    QCOMPARE(guide.guide_y(), 150);
    guide.repaint_now();
    const int32_t row = 480 - 150;
    QVERIFY(outline_drawn(*frame, 200, row, 1));
    QVERIFY(outline_drawn(*frame, 200, row, 2));
    // The locator's byte is never written, and the star shows upright where
    // it was clicked.
    QCOMPARE(byte_at(*frame, 190, row, 0), kSky);
    // Guide y counts from the frame's height, so row index 330 is the
    // 150th line from the top: window line 149.
    const QImage shown = guide.grab().toImage();
    QCOMPARE(shown.pixelColor(200, 149), QColor(250, 250, 250));
    QCOMPARE(shown.pixelColor(190, 149), QColor(128, 128, kSky));
  }
};

QTEST_MAIN(GuideWindowTest)
#include "guide_window_test.moc"
