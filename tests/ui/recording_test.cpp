// The windows driving the real sequencer and command router: the controls
// through a recording, commands during an acquisition, Pause, and closing
// while a frame is awaited.

#include <QAction>
#include <QTest>

#include "fake_core.h"
#include "ui/guide_window.h"
#include "ui/host_relay.h"
#include "ui/main_window.h"
#include "ui/qt_event_pump.h"
#include "ui/sequencer_core.h"

using namespace noctra;
using namespace noctra::testing;

namespace {

class ManualClock : public Clock {
 public:
  int32_t now = 1000;
  int32_t now_ms() override { return now; }
};

// Delivers a small frame once the still trigger has pressed the capture
// button, waiting in the event pump like a real source; optionally holds
// the frame back until released.
class PumpedAcquirer : public FrameAcquirer {
 public:
  explicit PumpedAcquirer(QtEventPump& pump) : pump_(pump) {}
  bool hold = false;
  int acquisitions = 0;
  int presses = 0;

  bool source_available() override { return true; }
  void set_pending_trigger_code(int code) override { pending_ = code; }
  int pending_trigger_code() const override { return pending_; }
  void acquire_frame(FrameHolder& holder) override {
    busy_ = true;
    pressed_ = false;
    pump_.run_until([this] { return pressed_ && !hold; });
    busy_ = false;
    if (pump_.quitting()) {
      holder.reset();
      return;
    }
    ++acquisitions;
    holder = FrameImage::create(64, 48);
  }
  void still_trigger() override {
    if (!busy_ || pending_ < 0) return;
    ++presses;
    pending_ = -1;
    pressed_ = true;
  }
  bool busy() const override { return busy_; }

 private:
  QtEventPump& pump_;
  int pending_ = -1;
  bool busy_ = false;
  bool pressed_ = false;
};

class CountingWriter : public FrameWriter {
 public:
  int frames = 0;
  int closes = 0;
  void avi_write_frame(const FrameImage* frame) override {
    if (frame) ++frames;
  }
  void avi_close() override { ++closes; }
};

struct RecordingRig {
  Settings settings;
  ManualClock clock;
  SimPortDevice port_device;
  CameraPort port{port_device};
  QtEventPump pump;
  PumpedAcquirer acquirer{pump};
  CountingWriter writer;
  HostRelay host;
  Sequencer sequencer{settings, clock, port, acquirer, writer, host};
  CommandRouter router{sequencer, acquirer, nullptr};
  SequencerCore core{settings, sequencer, router, [this] { port.camera_idle(); }};
  ScriptedChooser chooser;
  int closes = 0;
  GuideWindow guide{core, [this] { window.close(); }};
  MainWindow window{core, guide, chooser, [this] {
                      ++closes;
                      pump.set_quitting();
                    }};

  RecordingRig() {
    settings.exposure = 0;
    settings.image_file_path = "/tmp/noctra-ui-test.avi";
    pump.set_tick([this] { core.sequencer_tick(); });
    host.attach(&window);
    window.start();
  }
  ~RecordingRig() { host.attach(nullptr); }

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
    QCOMPARE(rig.writer.frames, 2);
    QVERIFY(rig.writer.closes >= 2);
    QCOMPARE(rig.sequencer.capture_state(), CaptureState::Idle);
    QVERIFY(rig.acquirer.presses >= 2);  // pressed by ticks from inside the wait
    QVERIFY(rig.window.windowTitle().contains("2/2"));
    QVERIFY(rig.core.main_frame().has_value());
  }

  void commands_during_an_acquisition_have_no_effect() {
    RecordingRig rig;
    rig.acquirer.hold = true;
    bool tried = false;
    // Given from inside the wait, as a user would while the frame is awaited.
    when([&] { return rig.acquirer.busy(); }, [&] {
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
    QCOMPARE(rig.writer.frames, 0);  // paused: exposed and acquired, not written
    QVERIFY(rig.stop_enabled());     // and the count is never reached
    rig.window.action(Command::Pause)->trigger();
    QVERIFY(!rig.window.action(Command::Pause)->isChecked());
    QTRY_VERIFY_WITH_TIMEOUT(rig.record_enabled(), 5000);
    QCOMPARE(rig.writer.frames, 1);
  }

  void closing_while_a_frame_is_awaited_unwinds_quietly() {
    RecordingRig rig;
    rig.acquirer.hold = true;
    bool closed_while_busy = false;
    when([&] { return rig.acquirer.busy(); }, [&] {
      closed_while_busy = true;
      rig.guide.close();
    });
    const int acquisitions = rig.acquirer.acquisitions;
    rig.window.action(Command::Record)->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(closed_while_busy && !rig.acquirer.busy(), 3000);
    QCOMPARE(rig.closes, 1);
    QVERIFY(rig.window.camera_idle_deferred());
    QCOMPARE(rig.acquirer.acquisitions, acquisitions);  // the wait ended with no frame
    QCOMPARE(rig.writer.frames, 0);
    QVERIFY(!rig.window.isVisible());
  }
};

QTEST_MAIN(RecordingTest)
#include "recording_test.moc"
