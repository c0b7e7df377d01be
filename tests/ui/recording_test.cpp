// The windows driving the real sequencer and command router: the controls
// through a recording, commands during an acquisition, Pause, and closing
// while a frame is awaited.

#include <QAction>
#include <QTest>

#include "support/fake_acquirer.h"
#include "support/fake_clock.h"
#include "support/fake_writer.h"
#include "ui/guide_window.h"
#include "ui/main_window.h"
#include "ui/qt_event_pump.h"
#include "window_helpers.h"

using namespace noctra;
using namespace noctra::testing;

namespace {

struct RecordingRig {
  Settings settings;
  test::FakeClock clock;
  SimPortDevice port_device;
  CameraPort port{port_device};
  QtEventPump pump;
  test::FakeAcquirer acquirer;
  test::FakeWriter writer;
  Sequencer sequencer{settings, clock, port, acquirer, writer, nullptr};
  CommandRouter router{sequencer, acquirer, nullptr};
  DueTicker ticker{sequencer};
  ScriptedChooser chooser;
  int closes = 0;
  GuideWindow guide{sequencer.guide_frame(), [this] { window.close(); }};
  MainWindow window{settings, router, ticker, guide, chooser, {}, [this] {
                      ++closes;
                      pump.set_quitting();
                    }};

  RecordingRig() {
    settings.exposure = 0;
    settings.image_file_path = "/tmp/noctra-ui-test.avi";
    // Frames come from inside the event pump, once the still trigger pressed.
    acquirer.pump = &pump;
    pump.set_tick([this] { ticker.tick(); });
    sequencer.set_host(&window);
    window.start();
  }
  ~RecordingRig() { sequencer.set_host(nullptr); }

  bool record_enabled() { return window.action(Command::Record)->isEnabled(); }
  bool stop_enabled() { return window.action(Command::Stop)->isEnabled(); }
};

}  // namespace

class RecordingTest : public QObject {
  Q_OBJECT

 private slots:
  void record_and_stop_swap_and_the_frame_limit_stops() {
    RecordingRig rig;
    rig.acquirer.hold = true;  // no frame until the controls were checked
    QVERIFY(rig.record_enabled() && !rig.stop_enabled());
    rig.window.action(Command::Record)->trigger();
    QVERIFY(!rig.record_enabled() && rig.stop_enabled());
    rig.window.action(Command::Stop)->trigger();
    QVERIFY(rig.record_enabled() && !rig.stop_enabled());
    QCOMPARE(rig.sequencer.capture_state(), CaptureState::Idle);

    rig.settings.count = 2;
    rig.acquirer.hold = false;
    rig.window.action(Command::Record)->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(rig.record_enabled(), 5000);
    QVERIFY(!rig.stop_enabled());
    QCOMPARE(rig.writer.writes, 2);
    QVERIFY(rig.writer.closes >= 2);
    QCOMPARE(rig.sequencer.capture_state(), CaptureState::Idle);
    QVERIFY(rig.acquirer.presses >= 2);  // pressed by ticks from inside the wait
    QVERIFY(rig.window.windowTitle().contains("2/2"));
    QVERIFY(rig.sequencer.main_frame().has_value());
  }

  void commands_during_an_acquisition_have_no_effect() {
    RecordingRig rig;
    rig.acquirer.hold = true;
    bool tried = false;
    // Given from inside the wait, as a user would while the frame is awaited.
    when([&] { return rig.acquirer.busy(); },
         [&] {
           rig.window.action(Command::Stop)->trigger();
           rig.window.action(Command::Exit)->trigger();
           rig.window.action(Command::SaveImagesIn)->trigger();
           tried = true;
           rig.settings.delay = 60000;  // the clock stands still: no next exposure
           rig.acquirer.hold = false;
         });
    rig.window.action(Command::Record)->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(tried && rig.acquirer.acquisitions == 1, 3000);
    QVERIFY(!rig.acquirer.busy());
    QCOMPARE(rig.sequencer.capture_state(), CaptureState::Waiting);
    QCOMPARE(rig.closes, 0);
    QVERIFY(rig.chooser.asked.empty());
    QVERIFY(rig.stop_enabled());

    // Between acquisitions Save images in... still does nothing while
    // recording, and Stop works.
    rig.window.action(Command::SaveImagesIn)->trigger();
    QVERIFY(rig.chooser.asked.empty());
    rig.window.action(Command::Stop)->trigger();
    QCOMPARE(rig.sequencer.capture_state(), CaptureState::Idle);
  }

  void pause_while_idle_starts_the_next_recording_paused() {
    RecordingRig rig;
    rig.window.action(Command::Pause)->trigger();
    QVERIFY(rig.window.action(Command::Pause)->isChecked());
    QVERIFY(rig.sequencer.paused());
    rig.settings.count = 1;
    rig.window.action(Command::Record)->trigger();
    QVERIFY(rig.window.action(Command::Pause)->isChecked());
    QTRY_VERIFY_WITH_TIMEOUT(rig.acquirer.acquisitions >= 2, 5000);
    QCOMPARE(rig.writer.writes, 0);  // paused: exposed and acquired, not written
    QVERIFY(rig.stop_enabled());     // and the count is never reached
    rig.window.action(Command::Pause)->trigger();
    QVERIFY(!rig.window.action(Command::Pause)->isChecked());
    QTRY_VERIFY_WITH_TIMEOUT(rig.record_enabled(), 5000);
    QCOMPARE(rig.writer.writes, 1);
  }

  void closing_while_a_frame_is_awaited_unwinds_quietly() {
    RecordingRig rig;
    rig.acquirer.hold = true;
    bool closed_while_busy = false;
    when([&] { return rig.acquirer.busy(); },
         [&] {
           closed_while_busy = true;
           rig.guide.close();
         });
    const int acquisitions = rig.acquirer.acquisitions;
    rig.window.action(Command::Record)->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(closed_while_busy && !rig.acquirer.busy(), 3000);
    QCOMPARE(rig.closes, 1);
    QCOMPARE(rig.acquirer.acquisitions, acquisitions);  // the wait ended with no frame
    QCOMPARE(rig.writer.writes, 0);
    QVERIFY(!rig.window.isVisible());
  }
};

QTEST_MAIN(RecordingTest)
#include "recording_test.moc"
