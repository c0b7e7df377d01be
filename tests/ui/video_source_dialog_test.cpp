// The Video Source dialog with a capture device that has a camera input and a
// TV input.
#include "ui/video_source_dialog.h"

#include <QComboBox>
#include <QtTest>

#include "config/settings.h"

using namespace noctra;

class VideoSourceDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void offers_the_inputs_and_standards_of_the_device() {
    Settings settings;
    settings.source = "v4l2:/dev/video0,format=yuyv,input=television";
    std::vector<std::string> switched;
    DeviceCatalog devices;
    devices.sources = [] {
      return std::vector<DeviceChoice>{{"sim", "sim"}, {"v4l2:/dev/video0", "video0"}};
    };
    devices.use_source = [&](const std::string& name) -> Status {
      switched.push_back(name);
      return {};
    };
    devices.describe = [](const std::string& path) -> std::optional<DeviceOffer> {
      if (path != "/dev/video0") return std::nullopt;
      return DeviceOffer{{},
                         {{0xB000, "NTSC"}, {0xFF, "PAL"}, {0xFF0000, "SECAM"}},
                         {{0, "Camera", 0}, {1, "Television", 0xB0FF}},
                         0};
    };
    VideoSourceDialog dialog(settings, devices, nullptr);
    QCOMPARE(dialog.source_box()->currentData().toString(), QString("v4l2:/dev/video0"));
    QCOMPARE(dialog.input_box()->currentText(), QString("Television"));
    QCOMPARE(dialog.standard_box()->count(), 3);  // as the device is, NTSC, PAL
    // The camera input takes no standard; back on the TV input, PAL.
    dialog.input_box()->setCurrentIndex(dialog.input_box()->findText("Camera"));
    QVERIFY(!dialog.standard_box()->isEnabled());
    dialog.input_box()->setCurrentIndex(dialog.input_box()->findText("Television"));
    dialog.standard_box()->setCurrentIndex(dialog.standard_box()->findText("PAL"));
    dialog.accept();
    QCOMPARE(switched,
             std::vector<std::string>{"v4l2:/dev/video0,format=yuyv,std=PAL,input=television"});
    QCOMPARE(settings.source, switched.back());
    // The simulated camera has neither.
    dialog.source_box()->setCurrentIndex(0);
    QVERIFY(!dialog.input_box()->isEnabled() && !dialog.standard_box()->isEnabled());
  }
};

QTEST_MAIN(VideoSourceDialogTest)
#include "video_source_dialog_test.moc"
