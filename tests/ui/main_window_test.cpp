// The main window, its dialogs and the error box, driving the real sequencer
// and command router over a fake clock, acquirer and writer.

#include "ui/main_window.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>
#include <QToolButton>
#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>

#include "support/fake_acquirer.h"
#include "support/fake_clock.h"
#include "support/fake_writer.h"
#include "ui/about_dialog.h"
#include "ui/error_box.h"
#include "ui/gui_main.h"
#include "ui/guide_window.h"
#include "ui/pictures.h"
#include "ui/qt_event_pump.h"
#include "ui/setup_dialog.h"
#include "ui/star_window.h"
#include "ui/status_bar.h"
#include "window_helpers.h"

using namespace noctra;
using namespace noctra::testing;

namespace {

// Offers the simulated camera and one capture device that cannot be opened.
DeviceCatalog test_devices(std::vector<std::string>& switched) {
  DeviceCatalog devices;
  devices.sources = [] {
    return std::vector<DeviceChoice>{{"sim", "Simulated sky camera"},
                                     {"v4l2:/dev/video0", "USB capture (video0)"}};
  };
  devices.ports = [] { return std::vector<DeviceChoice>{{"sim", "Simulated port"}}; };
  devices.use_source = [&switched](const std::string& name) -> Status {
    if (name != "sim") return failure("cannot open " + name);
    switched.push_back(name);
    return {};
  };
  return devices;
}

// The clock stands still unless a test moves it, so a recording waits for
// its exposure and no frame is taken behind a test's back.
struct Rig {
  Settings settings;
  test::FakeClock clock;
  SimPortDevice port_device;
  CameraPort port{port_device};
  test::FakeAcquirer acquirer;
  test::FakeWriter writer;
  Sequencer sequencer{settings, clock, port, acquirer, writer, nullptr};
  CommandRouter router{sequencer, acquirer, nullptr};
  DueTicker ticker{sequencer};
  ScriptedChooser chooser;
  std::vector<std::string> switched_sources;
  int closes = 0;
  GuideWindow guide{sequencer.guide_frame(), [this] { window.close(); }};
  MainWindow window{settings,
                    router,
                    ticker,
                    guide,
                    chooser,
                    test_devices(switched_sources),
                    [this] { ++closes; }};

  explicit Rig(const Settings& initial = Settings{}) {
    settings = initial;
    sequencer.set_host(&window);
    window.start();
  }
  ~Rig() { sequencer.set_host(nullptr); }

  // True when the port was put into its idle pattern (0x2F then 0x3F; no
  // other write of the sequencer makes 0x2F).
  bool port_idled() const {
    const std::vector<uint8_t>& log = port_device.log();
    return std::find(log.begin(), log.end(), 0x2F) != log.end();
  }
};

QStringList menu_texts(QMenu* menu) {
  QStringList texts;
  for (QAction* action : menu->actions()) {
    texts << (action->isSeparator() ? QStringLiteral("-") : action->text());
  }
  return texts;
}

QStringList label_texts(QWidget* dialog) {
  QStringList texts;
  for (auto* label : dialog->findChildren<QLabel*>()) texts << label->text();
  return texts;
}

// Record, Stop and Pause in one line, each toolbar button after its action,
// so a failure shows the whole state.
QString controls(MainWindow& window) {
  auto on = [](bool b) { return QString(b ? "on" : "off"); };
  auto button = [&](Command id) {
    return qobject_cast<QToolButton*>(window.toolbar()->widgetForAction(window.action(id)));
  };
  return QString("record %1, stop %2/%3, pause %4/%5, recording %6")
      .arg(on(window.action(Command::Record)->isEnabled()),
           on(window.action(Command::Stop)->isEnabled()), on(button(Command::Stop)->isEnabled()),
           on(window.action(Command::Pause)->isChecked()), on(button(Command::Pause)->isChecked()),
           window.recording() ? "yes" : "no");
}

template <typename Widget>
Widget* control(SetupDialog* dialog, int id) {
  auto* widget = qobject_cast<Widget*>(dialog->control(id));
  if (!widget) qFatal("control %d missing", id);
  return widget;
}

// Opens Setup through the window; `act` runs while the dialog is up.
void with_setup_dialog(Rig& rig, std::function<void(SetupDialog*)> act) {
  when_modal_opens([act](QWidget* modal) { act(qobject_cast<SetupDialog*>(modal)); });
  rig.window.action(Command::Setup)->trigger();
}

// A frame whose top line (the last stored row) is red and bottom line blue.
FrameImage striped_frame(int32_t width, int32_t height) {
  FrameImage frame = *FrameImage::create(width, height);
  for (int32_t x = 0; x < width; ++x) {
    frame.row(0)[3 * x] = 255;               // blue, bottom line
    frame.row(height - 1)[3 * x + 2] = 255;  // red, top line
  }
  return frame;
}

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

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void menu_bar_as_trimmed_at_creation() {
    Rig rig;
    const QList<QAction*> menus = rig.window.menuBar()->actions();
    QCOMPARE(menus.size(), 5);
    const QList<QStringList> expected = {
        {"&Save images in...", "&Autoincrement", "-", "E&xit"},
        {"Video &Source", "Star &window", "&Night mode"},
        {"&Fit to window", "&100 %", "&200 %", "&400 %", "-", "&Centre cross"},
        {"S&etup", "-", "&Record", "St&op", "&Pause", "Pre&view"},
        {"&About ..."}};
    const QStringList titles = {"&File", "&Options", "&View", "&Capture", "&Help"};
    for (int i = 0; i < 5; ++i) {
      QCOMPARE(menus[i]->text(), titles[i]);
      QCOMPARE(menu_texts(menus[i]->menu()), expected[i]);
    }
    QCOMPARE(rig.window.windowTitle(), QStringLiteral("Noctra"));
  }

  void toolbar_buttons_images_and_tooltips() {
    Rig rig;
    const QList<QAction*> buttons = rig.window.toolbar()->actions();
    QCOMPARE(buttons.size(), 5);
    const QStringList tips = {"Record", "Stop", "Pause", "Setup", "Preview"};
    const Command ids[] = {Command::Record, Command::Stop, Command::Pause, Command::Setup,
                           Command::Preview};
    for (int i = 0; i < 5; ++i) {
      QCOMPARE(buttons[i]->toolTip(), tips[i]);
      QCOMPARE(buttons[i]->property("id").toInt(), static_cast<int>(ids[i]));
    }
    // The frame view starts right under the toolbar.
    QCOMPARE(rig.window.frame_area()->geometry().top(),
             rig.window.toolbar()->geometry().bottom() + 1);

    const QColor grey(192, 192, 192);
    const QImage record = button_image(ButtonImage::Record);
    QCOMPARE(record.size(), QSize(16, 15));
    QCOMPARE(record.pixelColor(0, 0), grey);
    QCOMPARE(record.pixelColor(8, 7), QColor(255, 0, 0));
    QCOMPARE(button_image(ButtonImage::Stop).pixelColor(8, 7), QColor(Qt::black));
    const QImage pause = button_image(ButtonImage::Pause);
    QCOMPARE(pause.pixelColor(5, 7), QColor(Qt::black));
    QCOMPARE(pause.pixelColor(8, 7), grey);  // the gap between the bars
    QCOMPARE(pause.pixelColor(10, 7), QColor(Qt::black));
    const QImage setup = button_image(ButtonImage::Setup);
    QCOMPARE(setup.pixelColor(8, 3), QColor(0, 0, 128));
    QCOMPARE(setup.pixelColor(8, 8), QColor(Qt::white));
    QCOMPARE(button_strip().size(), QSize(64, 15));
  }

  void ui_state_modes_switch_controls() {
    Rig rig;
    QCOMPARE(controls(rig.window), "record on, stop off/off, pause off/off, recording no");
    rig.window.set_ui_state(UiState::Recording, false);
    QCOMPARE(controls(rig.window), "record off, stop on/on, pause off/off, recording yes");
    rig.window.set_ui_state(UiState::RefreshPauseMarks, true);  // leaves Record and Stop alone
    QCOMPARE(controls(rig.window), "record off, stop on/on, pause on/on, recording yes");
    rig.window.set_ui_state(UiState::Idle, false);  // leaves the Pause marks alone
    QCOMPARE(controls(rig.window), "record on, stop off/off, pause on/on, recording no");
  }

  void pause_mark_follows_the_sequencer_not_the_click() {
    Rig rig;
    QAction* pause = rig.window.action(Command::Pause);
    pause->trigger();
    QVERIFY(rig.sequencer.paused());
    QVERIFY(pause->isChecked());
    // Dropped during an acquisition: no effect, not even on the mark.
    rig.acquirer.busy_flag = true;
    pause->trigger();
    QVERIFY(rig.sequencer.paused());
    QVERIFY(pause->isChecked());
    rig.acquirer.busy_flag = false;
    pause->trigger();
    QVERIFY(!rig.sequencer.paused());
    QVERIFY(!pause->isChecked());
  }

  void commands_are_dropped_while_busy_and_posted_ones_are_queued() {
    Rig rig;
    rig.window.action(Command::Record)->trigger();
    QVERIFY(rig.window.recording());
    rig.acquirer.busy_flag = true;
    for (Command id : {Command::Stop, Command::Exit, Command::Autoincrement}) {
      rig.window.action(id)->trigger();
    }
    QCOMPARE(rig.sequencer.capture_state(), CaptureState::Waiting);
    QVERIFY(rig.window.recording());
    QCOMPARE(rig.closes, 0);
    QCOMPARE(rig.settings.auto_increment, 0);
    QVERIFY(!rig.window.action(Command::Autoincrement)->isChecked());

    rig.acquirer.busy_flag = false;
    rig.window.post_command(Command::Stop);
    QCOMPARE(rig.sequencer.capture_state(), CaptureState::Waiting);  // queued, not yet taken
    // The busy flag counts when the posted command is taken, not when posted.
    rig.acquirer.busy_flag = true;
    QCoreApplication::processEvents();
    // The tick due at the exposure's base may have started it meanwhile; the
    // recording goes on either way.
    QVERIFY(rig.sequencer.capture_state() != CaptureState::Idle);
    rig.acquirer.busy_flag = false;
    rig.window.post_command(Command::Stop);
    QCoreApplication::processEvents();
    QCOMPARE(rig.sequencer.capture_state(), CaptureState::Idle);
    QVERIFY(!rig.window.recording());
  }

  void autoincrement_mark_from_settings_and_toggle() {
    Settings settings;
    settings.auto_increment = 1;
    Rig rig(settings);
    QAction* mark = rig.window.action(Command::Autoincrement);
    QVERIFY(mark->isChecked());
    mark->trigger();
    QCOMPARE(rig.settings.auto_increment, 0);
    QVERIFY(!mark->isChecked());
    mark->trigger();
    QCOMPARE(rig.settings.auto_increment, 1);
    QVERIFY(mark->isChecked());
  }

  void save_images_in_only_while_idle_and_forces_avi() {
    Rig rig;
    rig.settings.image_file_path = "/tmp/Sky.AVI";
    rig.window.action(Command::Record)->trigger();
    rig.window.action(Command::SaveImagesIn)->trigger();
    QVERIFY(rig.chooser.asked.empty());
    QCOMPARE(rig.settings.image_file_path, std::string("/tmp/Sky.AVI"));

    rig.window.action(Command::Stop)->trigger();
    rig.window.action(Command::SaveImagesIn)->trigger();  // cancelled
    QCOMPARE(rig.chooser.asked, std::vector<std::string>{"/tmp/Sky.AVI"});
    QCOMPARE(rig.settings.image_file_path, std::string("/tmp/Sky.avi"));

    rig.chooser.reply = "/tmp/m42";
    rig.window.action(Command::SaveImagesIn)->trigger();
    QCOMPARE(rig.settings.image_file_path, std::string("/tmp/m42.avi"));
  }

  void layout_gives_both_windows_a_640_by_480_picture() {
    Rig rig;
    rig.window.resize(300, 200);
    rig.guide.resize(100, 900);
    rig.window.layout_windows();
    QCOMPARE(rig.window.frame_view()->size(), QSize(640, 480));
    QCOMPARE(rig.guide.size(), QSize(640, 480));

    rig.window.action(Command::Record)->trigger();
    rig.window.resize(300, 200);
    rig.window.layout_if_idle();
    QVERIFY(rig.window.frame_area()->size() != QSize(640, 480));
    rig.window.action(Command::Stop)->trigger();  // lays the windows out once idle
    QCOMPARE(rig.window.frame_view()->size(), QSize(640, 480));
  }

  void star_window_item_opens_its_own_window_and_leaves_the_rest_alone() {
    Rig rig;
    const QSize size = rig.window.size();
    QAction* star = rig.window.star_window_action();
    QVERIFY(star);
    QVERIFY(!star->property("id").isValid());
    QVERIFY(!rig.window.toolbar()->actions().contains(star));
    QVERIFY(!rig.window.star_window()->isVisible());
    // Opening a window is no command: it works while an acquisition waits.
    rig.acquirer.busy_flag = true;
    star->trigger();
    rig.acquirer.busy_flag = false;
    QVERIFY(rig.window.star_window()->isVisible());
    QCOMPARE(rig.window.size(), size);
    QCOMPARE(rig.window.frame_view()->size(), QSize(640, 480));
    // Its stretch box drives the main view; off by default.
    QVERIFY(!rig.window.frame_view()->stretch());
    rig.window.star_window()->stretch_box()->setChecked(true);
    QVERIFY(rig.window.frame_view()->stretch());
    // A guide frame reaches it through the sequencer's repaint.
    rig.sequencer.guide_frame() = FrameImage::create(640, 480);
    rig.window.repaint_guide(rig.sequencer.guide_frame());
    QTRY_VERIFY(rig.window.star_window()->guide_label()->text().contains("none near (320, 240)"));
    rig.window.close();
    QVERIFY(!rig.window.star_window()->isVisible());
  }

  void main_frame_drawn_unscaled_and_upright() {
    FrameHolder frame;
    FrameView view(nullptr);
    view.set_frame(&frame);
    view.resize(640, 480);
    const QColor background = view.grab().toImage().pixelColor(5, 5);
    frame = striped_frame(40, 30);
    const QImage shown = view.grab().toImage();
    QCOMPARE(shown.pixelColor(0, 0), QColor(255, 0, 0));    // top line on top
    QCOMPARE(shown.pixelColor(39, 29), QColor(0, 0, 255));  // bottom line at row 29
    QCOMPARE(shown.pixelColor(20, 15), QColor(0, 0, 0));
    QCOMPARE(shown.pixelColor(40, 15), background);  // unscaled: nothing beyond it
    QCOMPARE(shown.pixelColor(20, 30), background);
  }

  void accelerators_open_about_with_its_texts() {
    for (Qt::Key key : {Qt::Key_Question, Qt::Key_Slash}) {
      Rig rig;
      rig.window.activateWindow();
      QVERIFY(QTest::qWaitForWindowActive(&rig.window));
      QStringList shown;
      when_modal_opens([&](QWidget* modal) {
        shown = label_texts(modal);
        shown << modal->windowTitle();
        qobject_cast<QDialog*>(modal)->accept();
      });
      QTest::keyClick(&rig.window, key, Qt::AltModifier);
      QTRY_VERIFY(!shown.isEmpty());
      QVERIFY(shown.contains("Noctra Pre-release Version 0.07"));
      QVERIFY(shown.contains("Long exposure image capture software for modified CCTV cameras."));
      QVERIFY(shown.contains("Hauppauge USB video capture."));
      QVERIFY(!shown.contains("PCI (VFW) video capture card."));
      QVERIFY(shown.filter("Copyright").size() == 1);
    }
  }

  void setup_dialog_controls_ids_and_tab_order() {
    Settings settings;
    settings.exposure = -1;
    settings.count = static_cast<int32_t>(0x80000000u);
    settings.image_file_path = "/data/sky/m42.avi";
    settings.hi_res = 1;
    settings.amp_off = 1;
    SetupDialog::Hooks hooks;
    SetupDialog* opened = nullptr;
    hooks.set_open_dialog = [&](SetupDialog* dialog) { opened = dialog; };
    ScriptedChooser chooser;
    SetupDialog dialog(settings, true, chooser, hooks, nullptr);
    QCOMPARE(opened, &dialog);
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Setup Capture"));
    QCOMPARE(control<QLineEdit>(&dialog, kSetupExposure)->text(), QStringLiteral("4294967295"));
    QCOMPARE(control<QLineEdit>(&dialog, kSetupCount)->text(), QStringLiteral("2147483648"));
    QCOMPARE(control<QLineEdit>(&dialog, kSetupGuideInterval)->text(), QStringLiteral("500"));
    QVERIFY(!control<QLineEdit>(&dialog, kSetupGuideInterval)->isEnabled());  // guiding off
    QVERIFY(control<QLineEdit>(&dialog, kSetupExposure)->validator());
    QVERIFY(!control<QLineEdit>(&dialog, kSetupGuideInterval)->validator());
    QCOMPARE(control<QPushButton>(&dialog, kSetupFileButton)->text(),
             QStringLiteral("/data/sky/m42.avi"));
    QVERIFY(control<QRadioButton>(&dialog, kSetupHighRes)->isChecked());
    QVERIFY(!control<QRadioButton>(&dialog, kSetupLowRes)->isChecked());
    QVERIFY(control<QCheckBox>(&dialog, kSetupAmpOff)->isChecked());
    QVERIFY(!control<QPushButton>(&dialog, kSetupStartCapture)->isEnabled());  // recording

    const int tab_ids[] = {kSetupExposure,   kSetupGuideInterval, kSetupDelay,
                           kSetupCount,      kSetupAmpOff,        kSetupGuiding,
                           kSetupFileButton, kSetupAutoIncrement, kSetupStartCapture,
                           kSetupOk,         kSetupCancel,        kSetupMonoRecording};
    QWidget* at = dialog.control(kSetupExposure);
    for (std::size_t i = 1; i < std::size(tab_ids); ++i) {
      do {
        at = at->nextInFocusChain();
      } while (!(at->focusPolicy() & Qt::TabFocus));
      QCOMPARE(at->property("id").toInt(), tab_ids[i]);
    }
    dialog.reject();
    QCOMPARE(opened, nullptr);
    QCOMPARE(dialog.result(), int{kSetupCancel});
  }

  void setup_number_rules_table() {
    const struct {
      const char* text;
      std::optional<uint32_t> value;
    } cases[] = {{"0", 0u},
                 {"2000", 2000u},
                 {" 15 ", 15u},
                 {"4294967295", 4294967295u},
                 {"4294967296", std::nullopt},
                 {"", std::nullopt},
                 {"-1", std::nullopt},
                 {"12a", std::nullopt},
                 {"abc", std::nullopt},
                 {"+5", std::nullopt}};
    for (const auto& c : cases) {
      QCOMPARE(parse_dialog_number(c.text), c.value);
    }

    Settings settings;
    settings.guiding = 1;
    ScriptedChooser chooser;
    SetupDialog dialog(settings, false, chooser, {}, nullptr);
    control<QLineEdit>(&dialog, kSetupExposure)->setText("4294967295");
    control<QLineEdit>(&dialog, kSetupGuideInterval)->setText("12abc");
    control<QLineEdit>(&dialog, kSetupDelay)->setText("2147483648");
    control<QLineEdit>(&dialog, kSetupCount)->setText("");
    QVERIFY(!control<QCheckBox>(&dialog, kSetupMonoRecording)->isChecked());
    control<QCheckBox>(&dialog, kSetupMonoRecording)->click();
    control<QPushButton>(&dialog, kSetupOk)->click();
    QCOMPARE(settings.colour, std::string("mono"));
    QCOMPARE(settings.exposure, -1);
    QCOMPARE(settings.guide_interval, 500);  // letters: kept
    QCOMPARE(settings.delay, static_cast<int32_t>(0x80000000u));
    QCOMPARE(settings.count, 0);  // empty: kept
    QCOMPARE(dialog.result(), int{kSetupOk});
  }

  void setup_stores_a_long_path_without_splitting_a_character() {
    // "/x" and 85 three-byte characters fill 257 bytes; the limit falls inside
    // the 86th character, which goes whole or not at all.
    std::string stars;
    for (int i = 0; i < 85; ++i) stars += "\u661f";
    const struct {
      std::string shown;
      std::string stored;
    } cases[] = {
        {"/x" + stars + "ab", "/x" + stars + "ab"},                // exactly at the limit
        {"/x" + stars + "\u661f\u661f", "/x" + stars},             // the cut would split one
        {"/x" + stars + "\u00e9\u00e9", "/x" + stars + "\u00e9"},  // a two-byte one fits
    };
    for (const auto& c : cases) {
      Settings settings;
      settings.image_file_path = c.shown;
      ScriptedChooser chooser;
      SetupDialog dialog(settings, false, chooser, {}, nullptr);
      control<QPushButton>(&dialog, kSetupOk)->click();
      QCOMPARE(settings.image_file_path, c.stored);
    }
  }

  void setup_controls_act_at_once() {
    Settings settings;
    ScriptedChooser chooser;
    int layouts = 0;
    SetupDialog::Hooks hooks;
    hooks.layout_if_idle = [&] { ++layouts; };
    SetupDialog dialog(settings, false, chooser, hooks, nullptr);
    dialog.show();
    control<QRadioButton>(&dialog, kSetupHighRes)->click();
    QCOMPARE(settings.hi_res, 1);
    QCOMPARE(layouts, 1);
    auto* guiding = control<QCheckBox>(&dialog, kSetupGuiding);
    guiding->click();
    QVERIFY(control<QLineEdit>(&dialog, kSetupGuideInterval)->isEnabled());
    QCOMPARE(settings.guiding, 0);  // stored only on OK
    guiding->click();
    QVERIFY(!control<QLineEdit>(&dialog, kSetupGuideInterval)->isEnabled());

    // The file button: a cancelled choice keeps the text, a chosen one gets .avi.
    settings.image_file_path = "/tmp/keep.mpg";
    SetupDialog second(settings, false, chooser, {}, nullptr);
    auto* file = control<QPushButton>(&second, kSetupFileButton);
    file->click();
    QCOMPARE(file->text(), QStringLiteral("/tmp/keep.mpg"));
    chooser.reply = "/tmp/new.mpg";
    file->click();
    QCOMPARE(file->text(), QStringLiteral("/tmp/new.avi"));
    QCOMPARE(settings.image_file_path, std::string("/tmp/keep.mpg"));
    second.reject();
    QCOMPARE(settings.image_file_path, std::string("/tmp/keep.mpg"));
    QCOMPARE(settings.hi_res, 1);  // the resolution click survives Cancel
  }

  void setup_through_window_shows_guide_and_marks_after_any_close() {
    Settings settings;
    settings.guiding = 1;
    settings.auto_increment = 1;
    Rig rig(settings);
    QVERIFY(rig.guide.isVisible());
    // Cancel: nothing stored, but the guide window follows the unchanged setting.
    rig.guide.hide();
    with_setup_dialog(rig, [](SetupDialog* dialog) {
      control<QCheckBox>(dialog, kSetupGuiding)->click();
      control<QPushButton>(dialog, kSetupCancel)->click();
    });
    QVERIFY(rig.guide.isVisible());
    QCOMPARE(rig.settings.guiding, 1);
    QCOMPARE(rig.window.open_setup_dialog(), nullptr);

    with_setup_dialog(rig, [](SetupDialog* dialog) {
      control<QCheckBox>(dialog, kSetupGuiding)->click();
      control<QCheckBox>(dialog, kSetupAutoIncrement)->click();
      control<QPushButton>(dialog, kSetupOk)->click();
    });
    QVERIFY(!rig.guide.isVisible());
    QVERIFY(!rig.window.action(Command::Autoincrement)->isChecked());
    QCOMPARE(rig.sequencer.capture_state(), CaptureState::Idle);
  }

  void start_capture_posts_record_after_storing() {
    Rig rig;
    with_setup_dialog(rig, [](SetupDialog* dialog) {
      control<QLineEdit>(dialog, kSetupExposure)->setText("3750");
      control<QPushButton>(dialog, kSetupStartCapture)->click();
    });
    QCOMPARE(rig.sequencer.capture_state(), CaptureState::Idle);  // queued, not yet taken
    QTRY_VERIFY(rig.window.recording());
    // The countdown starts from the value stored before Record was taken (the
    // clock stands still).
    rig.sequencer.sequencer_tick();
    QVERIFY2(rig.window.windowTitle().endsWith(" 3"), qPrintable(rig.window.windowTitle()));
  }

  void start_capture_follows_the_recording_while_open() {
    Rig rig;
    rig.window.set_ui_state(UiState::Recording, false);
    bool before = true;
    bool after = false;
    with_setup_dialog(rig, [&](SetupDialog* dialog) {
      before = dialog->control(kSetupStartCapture)->isEnabled();
      QCOMPARE(rig.window.open_setup_dialog(), dialog);
      rig.window.set_ui_state(UiState::Idle, false);  // the recording reached its frame count
      after = dialog->control(kSetupStartCapture)->isEnabled();
      dialog->reject();
    });
    QVERIFY(!before);
    QVERIFY(after);
    QCOMPARE(rig.window.open_setup_dialog(), nullptr);
  }

  void error_box_leaves_the_main_window_usable() {
    Rig rig;
    MessageBoxErrorReporter reporter;
    QString caption;
    QTimer::singleShot(20, [&] {
      QMessageBox* box = reporter.open_box();
      QVERIFY(box);
      caption = box->windowTitle();
      QCOMPARE(box->parent(), nullptr);
      QCOMPARE(box->buttons().size(), 1);
      QVERIFY(QApplication::activeModalWidget() == nullptr);
      rig.window.action(Command::Stop)->trigger();  // Stop while the box is up
      box->button(QMessageBox::Ok)->click();
    });
    rig.window.action(Command::Record)->trigger();
    reporter.show_error("Cannot write /tmp/x.avi");
    QCOMPARE(caption, QStringLiteral("Error"));
    QCOMPARE(rig.sequencer.capture_state(), CaptureState::Idle);
    QCOMPARE(rig.writer.closes, 1);
    QCOMPARE(reporter.open_box(), nullptr);
  }

  void closing_either_window_ends_the_program_once() {
    {
      // The windows leave the port alone: the program's shut-down idles it.
      Rig rig;
      rig.window.action(Command::Exit)->trigger();
      QCOMPARE(rig.closes, 1);
      QVERIFY(!rig.port_idled());
      QVERIFY(!rig.window.isVisible());
      QVERIFY(!rig.guide.isVisible());
      const int ticks = rig.acquirer.still_trigger_calls;
      QTest::qWait(120);
      QCOMPARE(rig.acquirer.still_trigger_calls, ticks);  // the timer went with the window
    }
    {
      Rig rig;
      rig.settings.exposure = 0;
      rig.window.action(Command::Record)->trigger();
      QString title;
      rig.acquirer.during_acquire = [&] {  // the guide window closes while a frame is awaited
        rig.guide.show();
        rig.guide.close();
        title = rig.window.windowTitle();
      };
      rig.sequencer.sequencer_tick();
      QCOMPARE(rig.closes, 1);
      QVERIFY(!rig.port_idled());  // the tick still drives the port as it unwinds
      QCOMPARE(rig.writer.writes, 1);
      QCOMPARE(rig.window.windowTitle(), title);  // the written frame's title came too late
      rig.window.set_title("late");
      QCOMPARE(rig.window.windowTitle(), title);
    }
  }

  void timer_and_pump_deliver_ticks() {
    Rig rig;
    QTRY_VERIFY_WITH_TIMEOUT(rig.acquirer.still_trigger_calls >= 2, 2000);

    QtEventPump pump;
    int pump_ticks = 0;
    pump.set_tick([&] { ++pump_ticks; });
    pump.run_until([&] { return pump_ticks >= 3; });
    QCOMPARE(pump_ticks, 3);
    // A wait begins with a tick: a press in it ends the wait before any event.
    bool pressed = false;
    pump.set_tick([&] {
      ++pump_ticks;
      pressed = true;
    });
    pump.run_until([&] { return pressed; });
    QCOMPARE(pump_ticks, 4);
    QTimer::singleShot(30, [&] { pump.set_quitting(); });
    pump.run_until([] { return false; });  // ends because the program is closing
    QVERIFY(pump.quitting());
    const int before = pump_ticks;
    pump.run_until([] { return false; });
    QCOMPARE(pump_ticks, before);
  }

  void video_source_dialog_switches_the_source() {
    Rig rig;
    rig.settings.source = "v4l2:/dev/video0";
    when_modal_opens([](QWidget* modal) {
      const auto boxes = modal->findChildren<QComboBox*>();
      boxes[0]->setCurrentIndex(boxes[0]->findData("sim"));
      qobject_cast<QDialog*>(modal)->accept();
    });
    rig.window.action(Command::VideoSource)->trigger();
    QCOMPARE(rig.switched_sources, std::vector<std::string>{"sim"});
    QCOMPARE(rig.settings.source, std::string("sim"));
  }

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
        {[&] { rig.sequencer.start_run(RunKind::Calibration, 4); },
         {"Calibration frames", "frame 0 of 4", "exposure 2 s left, calibration 0:11 left",
          "next file m42.avi", "", "SIMULATED"}},
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
    QVERIFY(display_reachable(nullptr, "wayland-0", ""));
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
    rig.window.close();

    // Saved before the Star window was ever open: it opens at its first
    // place, clear of the main window's menu and toolbar.
    Settings unopened = load_settings(ini, "/home/x");
    unopened.star_x = unopened.star_y = unopened.star_width = unopened.star_height = 0;
    unopened.star_open = 0;
    Rig later(unopened);
    later.window.star_window_action()->trigger();
    const QRect main = later.window.frameGeometry();
    const QRect controls(main.topLeft(), QPoint(main.right(), later.window.mapToGlobal(
                                                                  later.window.frame_area()->pos())
                                                                  .y() - 1));
    QVERIFY(!later.window.star_window()->frameGeometry().intersects(controls));
  }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
