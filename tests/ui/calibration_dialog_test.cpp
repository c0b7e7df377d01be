// Capture > "Dark frames..." in the desktop program on the covered simulated
// camera: Start, the progress bar, and the master's figures and file.
#include "ui/calibration_dialog.h"

#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <filesystem>
#include <fstream>

#include "ui/gui_main.h"
#include "ui/main_window.h"
#include "window_helpers.h"

using namespace noctra;
using namespace noctra::testing;

class CalibrationDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void takes_a_master_dark_and_shows_its_figures() {
    QTemporaryDir home;
    QVERIFY(home.isValid());
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + "/data").toUtf8());
    const std::string ini = (home.path() + "/Noctra.ini").toStdString();
    std::ofstream(ini) << "[Hardware]\nPort=sim\nSource=sim\n[Simulation]\nCovered=1\n"
                          "[Capture]\nExposure=150\n";
    AppOptions options;
    options.settings_file = ini;
    auto program = DesktopProgram::open(options);
    QVERIFY2(program.ok(), program.message().c_str());
    MainWindow& window = (*program)->main_window();

    QAction* item = nullptr;
    for (QAction* a : window.findChild<QMenu*>("capture_menu")->actions()) {
      if (a->text() == "&Dark frames...") item = a;
    }
    QVERIFY(item != nullptr);
    QString shown, result;
    int progress = -1;
    when_modal_opens([&](QWidget* modal) {
      auto* dialog = qobject_cast<CalibrationDialog*>(modal);
      QVERIFY(dialog != nullptr);
      for (QLabel* label : dialog->findChildren<QLabel*>()) shown += label->text() + "\n";
      dialog->frames_box()->setValue(3);
      QTest::mouseClick(dialog->start_button(), Qt::LeftButton);
      when([dialog] { return dialog->cancel_button()->text() == "Close"; },
           [dialog, &result, &progress] {
             result = dialog->result_label()->text();
             progress = dialog->progress_bar()->value();
             dialog->reject();
           });
    });
    item->trigger();

    QVERIFY2(shown.contains("Cover the telescope") && shown.contains("150 ms, delay 0 ms") &&
                 shown.contains("Low Res"),
             qPrintable(shown));
    QCOMPARE(progress, 3);
    QVERIFY2(result.startsWith("Master dark saved: noise ") && result.contains(" hot pixels"),
             qPrintable(result));
    const QString file = result.section('\n', 1);
    QVERIFY2(file.startsWith(home.path() + "/data/noctra/calibration/dark_640x480_sim_lowres_"),
             qPrintable(file));
    QVERIFY(std::filesystem::exists(file.toStdString()));
    QTRY_VERIFY(window.statusBar()->currentMessage().contains(file));
    QVERIFY((*program)->finish());
  }
};

QTEST_MAIN(CalibrationDialogTest)
#include "calibration_dialog_test.moc"
