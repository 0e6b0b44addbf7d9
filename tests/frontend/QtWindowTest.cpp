// The Qt window under the offscreen platform (no display needed): every
// control's place, size, font, colour and text as the form describes it, the
// tab order, the window's frame and position, and the toolkit operations the
// main window relies on (list selection without the change event, colours,
// the progress bar's step, closing, dialogs, end events on the window's
// thread).
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFontInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <thread>

#include "app/ZorbelMain.h"
#include "app/qt/QtToolkit.h"
#include "device/MessagePump.h"
#include "tests/app/AppFixture.h"

namespace zorbel::qt {
namespace {

struct ControlRow {
    const char* name;
    QRect rect;
    const char* text;  // design text; null for controls without one
    const char* family;
    int pixelSize;
    bool bold;
    QColor colour;  // labels only
};

const QColor WindowTextColour;  // invalid: the palette's own colour

const ControlRow Controls[] = {
    {"Label1", {12, 4, 128, 14}, "Please select target drive :", "Arial", 11, false, ColorBlack},
    {"cboDrives", {8, 24, 353, 24}, nullptr, "Courier New", 13, false, WindowTextColour},
    {"cmdUpdate", {368, 24, 77, 25}, "&Update", "Tahoma", 11, true, WindowTextColour},
    {"cmdClose", {368, 52, 77, 25}, "&Close", "Tahoma", 11, true, WindowTextColour},
    {"lblUpdateMsg",
     {12, 56, 154, 14},
     "It will be updated from             to",
     "Arial",
     11,
     false,
     ColorBlack},
    {"lblOldFW", {124, 56, 28, 13}, "XXXX", "Tahoma", 11, true, ColorNavy},
    {"lblNewFW", {172, 56, 28, 13}, "XXXX", "Tahoma", 11, true, ColorNavy},
    {"Bevel1", {8, 84, 437, 49}, nullptr, nullptr, 0, false, WindowTextColour},
    {"lblMsg", {16, 92, 56, 13}, "Message", "Verdana", 11, true, ColorNavy},
    {"pbar", {16, 112, 373, 13}, nullptr, nullptr, 0, false, WindowTextColour},
    {"lblPercent", {400, 112, 34, 13}, "100%", "Tahoma", 11, true, ColorNavy},
};

class QtWindowTest : public ::testing::Test {
  protected:
    QtToolkit toolkit;
    MainForm& form = toolkit.form();
};

TEST_F(QtWindowTest, EveryControlAtItsDesignPlaceWithItsFontTextAndColour) {
    for (const ControlRow& row : Controls) {
        SCOPED_TRACE(row.name);
        auto* widget = form.findChild<QWidget*>(QString::fromLatin1(row.name));
        ASSERT_NE(widget, nullptr);
        EXPECT_EQ(widget->parentWidget(), &form);
        EXPECT_TRUE(widget->isEnabled());
        EXPECT_FALSE(widget->isHidden());
        const QRect place = widget->geometry();
        EXPECT_EQ(place.topLeft(), row.rect.topLeft());
        EXPECT_EQ(place.height(), row.rect.height());
        if (auto* label = qobject_cast<QLabel*>(widget)) {
            // Labels size themselves to their text; never narrower than designed.
            EXPECT_GE(place.width(), row.rect.width());
            EXPECT_LE(place.width(), row.rect.width() + 12) << "the fallback font runs too wide";
            EXPECT_EQ(label->text(), QString::fromLatin1(row.text));
            EXPECT_EQ(MainForm::labelColor(label), row.colour);
        } else {
            EXPECT_EQ(place.width(), row.rect.width());
        }
        if (auto* button = qobject_cast<QPushButton*>(widget)) {
            EXPECT_EQ(button->text(), QString::fromLatin1(row.text));
        }
        if (row.family != nullptr) {
            const QFont font = widget->font();
            EXPECT_EQ(font.families().value(0), QString::fromLatin1(row.family));
            EXPECT_GT(font.families().size(), 1) << "fallback families for Linux";
            EXPECT_EQ(font.pixelSize(), row.pixelSize);
            EXPECT_EQ(font.bold(), row.bold);
        }
    }
    // The drop-down list is not editable; the bevel is a frame; the bar is smooth.
    EXPECT_FALSE(form.cboDrives->isEditable());
    EXPECT_EQ(form.Bevel1->frameShape(), QFrame::Box);
    EXPECT_EQ(form.pbar->minimum(), 0);
    EXPECT_EQ(form.pbar->maximum(), 100);
    EXPECT_FALSE(form.pbar->isTextVisible());
    EXPECT_TRUE(form.pbar->styleSheet().contains(QStringLiteral("margin: 0px")));
    EXPECT_EQ(form.tmr->interval(), 100);
    EXPECT_FALSE(form.tmr->isActive());
    // The fixed-pitch list font keeps the drive lines' columns aligned.
    EXPECT_TRUE(QFontInfo(form.cboDrives->font()).fixedPitch());
}

TEST_F(QtWindowTest, ButtonImagesAndTabOrder) {
    const QIcon update = form.cmdUpdate->icon();
    ASSERT_FALSE(update.isNull());
    const QImage normal = update.pixmap(16, 16, QIcon::Normal).toImage();
    const QImage disabled = update.pixmap(16, 16, QIcon::Disabled).toImage();
    EXPECT_NE(normal, disabled) << "a two-state image";
    EXPECT_FALSE(form.cmdClose->icon().isNull()) << "the style's stock close image";

    // cboDrives (0), pbar (1), cmdUpdate (2), cmdClose (3).
    EXPECT_EQ(form.cboDrives->nextInFocusChain(), form.pbar);
    EXPECT_EQ(form.pbar->nextInFocusChain(), form.cmdUpdate);
    EXPECT_EQ(form.cmdUpdate->nextInFocusChain(), form.cmdClose);
}

TEST_F(QtWindowTest, WindowIsCentredWithItsOuterSizeAndNoMinimiseOrMaximise) {
    const Qt::WindowFlags flags = form.windowFlags();
    EXPECT_FALSE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowSystemMenuHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_EQ(form.backgroundRole(), QPalette::Button);
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Zorbel"));

    form.show();
    QApplication::processEvents();
    EXPECT_EQ(form.frameGeometry().size(), FormOuterSize);
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE(std::abs(form.frameGeometry().center().x() - screen.center().x()), 1);
    EXPECT_LE(std::abs(form.frameGeometry().center().y() - screen.center().y()), 1);
}

TEST_F(QtWindowTest, TitleBarCloseIsRemovedAndOnlyTheProgramsEndClosesTheWindow) {
    form.show();
    toolkit.removeSystemMenuClose();
    EXPECT_FALSE(form.windowFlags().testFlag(Qt::WindowCloseButtonHint));
    EXPECT_TRUE(form.isVisible()) << "taking Close away keeps the window shown";
    EXPECT_FALSE(form.close());
    EXPECT_TRUE(form.isVisible());
    toolkit.terminate();
    EXPECT_TRUE(toolkit.terminateRequested());
    EXPECT_TRUE(form.close());
}

struct Recorder final : FormEvents {
    int changes = 0, updates = 0, closes = 0, ticks = 0;
    void cboDrivesChange() override { ++changes; }
    void cmdUpdateClick() override { ++updates; }
    void cmdCloseClick() override { ++closes; }
    void tmrTimer() override { ++ticks; }
    void FormDestroy() override {}
};

TEST_F(QtWindowTest, ContractOperations) {
    Recorder events;
    toolkit.attachForm(&events);

    // The list: lines added and selected from code run no change event; the
    // person's choice does.
    toolkit.addListLine(" 1-0-0-0 D:MERIDOX DVD-RW DX-4410S  1.00");
    EXPECT_EQ(toolkit.selectedListLine(), NoLine);
    toolkit.addListLine(" 1-0-1-0 E:LUMINARKDVDRW LR-880     2.05");
    toolkit.selectListLine(1);
    EXPECT_EQ(toolkit.selectedListLine(), 1);
    toolkit.selectListLine(7);
    EXPECT_EQ(toolkit.selectedListLine(), NoLine);
    EXPECT_EQ(events.changes, 0);
    form.cboDrives->activated(0);
    EXPECT_EQ(events.changes, 1);
    EXPECT_EQ(toolkit.listLine(1), " 1-0-1-0 E:LUMINARKDVDRW LR-880     2.05");
    toolkit.clearList();
    EXPECT_EQ(toolkit.listCount(), 0);

    // Colours, texts and visibility.
    toolkit.setFontColour(Control::lblUpdateMsg, FontColour::Maroon);
    EXPECT_EQ(toolkit.fontColour(Control::lblUpdateMsg), FontColour::Maroon);
    EXPECT_EQ(MainForm::labelColor(form.lblUpdateMsg), QColor(128, 0, 0));
    toolkit.setFontColour(Control::lblMsg, FontColour::Black);
    EXPECT_EQ(MainForm::labelColor(form.lblMsg), QColor(0, 0, 0));
    toolkit.setText(Control::lblUpdateMsg, "This drive is not allowed to be updated.");
    EXPECT_EQ(toolkit.text(Control::lblUpdateMsg), "This drive is not allowed to be updated.");
    EXPECT_GE(form.lblUpdateMsg->width(), form.lblUpdateMsg->sizeHint().width())
        << "a longer text is not cut";
    toolkit.setVisible(Control::lblOldFW, false);
    EXPECT_FALSE(toolkit.visible(Control::lblOldFW));
    toolkit.setEnabled(Control::cmdUpdate, false);
    EXPECT_FALSE(form.cmdUpdate->isEnabled());
    toolkit.setCaption("Zorbel v2.0.0");
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Zorbel v2.0.0"));

    // The progress bar grows by its step and never past its maximum.
    toolkit.setProgressRange(0, 330);
    toolkit.setProgressStep(1);
    toolkit.setProgressPosition(0);
    for (int i = 0; i < 400; ++i) {
        toolkit.progressStepIt();
    }
    EXPECT_EQ(toolkit.progressPosition(), 330);
    EXPECT_EQ(toolkit.progressMaximum(), 330);

    // The timer ticks only while enabled.
    toolkit.setTimerEnabled(true);
    EXPECT_TRUE(toolkit.timerEnabled());
    // A loaded machine may deliver ticks late: wait for two, up to five seconds.
    for (int waited = 0; events.ticks < 2 && waited < 5000; waited += 50) {
        QTest::qWait(50);
    }
    toolkit.setTimerEnabled(false);
    const int ticks = events.ticks;
    EXPECT_GE(ticks, 2);
    QTest::qWait(250);
    EXPECT_EQ(events.ticks, ticks);

    // The stock close button ends the program.
    form.cmdClose->click();
    EXPECT_EQ(events.closes, 1);
    EXPECT_TRUE(toolkit.terminateRequested());
    toolkit.attachForm(nullptr);
}

TEST_F(QtWindowTest, MessageDialogsCaptionsButtonsDefaultsAndEscape) {
    struct Case {
        DialogKind kind;
        int key;  // pressed in the dialog
        DialogAnswer answer;
        const char* caption;
        QMessageBox::Icon icon;
        QStringList buttons;
    };
    const Case cases[] = {
        {DialogKind::WarningQuestion,
         Qt::Key_Return,
         DialogAnswer::Yes,
         "Warning",
         QMessageBox::Warning,
         {"&Yes", "&No"}},
        {DialogKind::WarningQuestion,
         Qt::Key_Escape,
         DialogAnswer::No,
         "Warning",
         QMessageBox::Warning,
         {"&Yes", "&No"}},
        {DialogKind::Error,
         Qt::Key_Return,
         DialogAnswer::Ok,
         "Error",
         QMessageBox::Critical,
         {"OK"}},
        {DialogKind::Warning,
         Qt::Key_Escape,
         DialogAnswer::Ok,
         "Warning",
         QMessageBox::Warning,
         {"OK"}},
        {DialogKind::Information,
         Qt::Key_Return,
         DialogAnswer::Ok,
         "Information",
         QMessageBox::Information,
         {"OK"}},
    };
    const std::string text =
        "Disc detected in drive. Unable to eject the disc , maybe locked by "
        "other program\n\nPlease remove the disc manually.";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.caption);
        QString caption;
        QString shownText;
        QStringList buttons;
        QString defaultButton;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QPoint centre;
        toolkit.setDialogObserver([&](QWidget& dialog) {
            auto& box = static_cast<QMessageBox&>(dialog);
            caption = box.windowTitle();
            shownText = box.text();
            icon = box.icon();
            for (QAbstractButton* button : box.buttons()) {
                buttons << button->text();
            }
            defaultButton = box.defaultButton() != nullptr ? box.defaultButton()->text() : "";
            centre = box.frameGeometry().center();
            QTest::keyClick(&box, static_cast<Qt::Key>(c.key));
        });
        EXPECT_EQ(toolkit.messageDialog(c.kind, text), c.answer);
        EXPECT_EQ(caption, QString::fromLatin1(c.caption));
        EXPECT_EQ(shownText.toStdString(), text);
        EXPECT_EQ(icon, c.icon);
        buttons.sort();
        QStringList expected = c.buttons;
        expected.sort();
        EXPECT_EQ(buttons, expected);
        EXPECT_EQ(defaultButton, c.buttons.front());
        const QPoint screen = QGuiApplication::primaryScreen()->availableGeometry().center();
        EXPECT_LE((centre - screen).manhattanLength(), 2) << "centred on the screen";
    }
}

TEST_F(QtWindowTest, SystemMessageBoxHasItsCaptionErrorIconAndOk) {
    QString caption;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;
    toolkit.setDialogObserver([&](QWidget& dialog) {
        auto& box = static_cast<QMessageBox&>(dialog);
        caption = box.windowTitle();
        icon = box.icon();
        for (QAbstractButton* button : box.buttons()) {
            buttons << button->text();
        }
        EXPECT_EQ(box.parentWidget(), nullptr) << "no owner window";
        QTest::keyClick(&box, Qt::Key_Return);
    });
    toolkit.systemMessageBox("Device object initialize failed !", "Error ...");
    EXPECT_EQ(caption, QStringLiteral("Error ..."));
    EXPECT_EQ(icon, QMessageBox::Critical);
    EXPECT_EQ(buttons, QStringList{"OK"});
}

TEST_F(QtWindowTest, EndEventsPostedByWorkersRunOnTheWindowThread) {
    const auto windowThread = std::this_thread::get_id();
    std::vector<std::thread::id> ranOn;
    std::vector<std::thread> workers;
    for (int i = 0; i < 4; ++i) {
        workers.emplace_back([this, &ranOn] {
            toolkit.endEventDispatcher().post(
                [&ranOn] { ranOn.push_back(std::this_thread::get_id()); });
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    EXPECT_TRUE(ranOn.empty()) << "queued, not run on the worker";
    toolkit.processPendingMessages();
    ASSERT_EQ(ranOn.size(), 4u);
    for (const auto id : ranOn) {
        EXPECT_EQ(id, windowThread);
    }
}

TEST_F(QtWindowTest, MessageLoopReturnsAtOnceWhenTheProgramEndedBeforeIt) {
    toolkit.terminate();
    toolkit.runMessageLoop();
    EXPECT_FALSE(form.isVisible());
}

TEST_F(QtWindowTest, MessageLoopShowsTheWindowUntilTerminate) {
    bool sawWindow = false;
    toolkit.setLoopStarted([&] {
        sawWindow = form.isVisible();
        QTimer::singleShot(50, [this] { toolkit.terminate(); });
    });
    toolkit.runMessageLoop();
    EXPECT_TRUE(sawWindow);
    EXPECT_FALSE(form.isVisible());
}

// A drive of the update hangs for a while in the disc check: the window keeps
// handling its events (its timer ticks, a press on Close) all along, and that
// press ends nothing while the drive is checked.
TEST_F(QtWindowTest, WindowAnswersWhileTheDiscCheckWaits) {
    testing::BlockBytes package = testing::makePackage();
    package.option(block::Option::CHKDISC, testing::optionText(block::Option::CHKDISC, '1'));
    ScopedPackageOverride packageScope(package.bytes());
    SetStandInProfilesAccepted(true);
    sim::ComputerSpec computer;
    computer.clock = sim::ClockMode::RealTime;
    sim::DriveSpec& spec = computer.addDrive("d1");
    spec.identity = sim::Identity::fromText(testing::TestVendor, "DVR-1", testing::OldRevision);
    spec.newRevision = sim::padded<4>(testing::NewRevision);
    spec.imageSize = static_cast<std::uint32_t>(testing::TestImageSize);
    spec.medium = false;
    computer.addLetter('E', "d1");
    sim::InstalledComputer installed(computer);
    toolkit.setDialogScript([](DialogKind, std::string_view) { return DialogAnswer::Ok; });
    setWindowMessagePump([this] { toolkit.processPendingMessages(); });
    {
        TZorbelMain window(toolkit);
        sim::FaultRule hang;  // one TEST UNIT READY that takes the simulator's longest
        hang.kind = sim::FaultKind::Timeout;
        hang.opcode = 0x00;
        hang.times = 1;
        installed->findDrive("d1")->addFault(hang);

        QElapsedTimer clock;
        qint64 lastTick = 0;
        qint64 longestGap = 0;
        int ticks = 0;
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, [&] {
            const qint64 now = clock.elapsed();
            longestGap = std::max(longestGap, now - lastTick);
            lastTick = now;
            if (++ticks == 5) {
                form.cmdClose->click();  // disabled: nothing happens
                window.cmdCloseClick();  // and a press that slipped through ends nothing
            }
        });
        timer.start(50);
        clock.start();
        window.cmdUpdateClick();
        const qint64 checked = clock.elapsed();
        timer.stop();

        EXPECT_GE(checked, 1500);  // the hung command held the check this long
        EXPECT_GE(ticks, 10);
        EXPECT_LT(longestGap, 1000);
        EXPECT_FALSE(toolkit.terminateRequested());
        EXPECT_TRUE(window.UpdateInProgress());
        for (int i = 0; i < 600 && window.UpdateInProgress(); ++i) {
            QTest::qWait(20);
        }
        EXPECT_EQ(window.ExitStatus(), ExitNothingFailed);
        EXPECT_EQ(installed->findDrive("d1")->commits().size(), 1u);
    }
    clearWindowMessagePump();
}

}  // namespace
}  // namespace zorbel::qt

int main(int argc, char** argv) {
    // No display needed: the offscreen platform unless one is chosen.
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen")
                                                                    : qgetenv("QT_QPA_PLATFORM"));
    ::testing::InitGoogleTest(&argc, argv);
    QApplication application(argc, argv);
    QApplication::setStyle(QStringLiteral("Fusion"));
    return RUN_ALL_TESTS();
}
