// The window front end of zorbel-sim, on Qt 6 Widgets.
#include <QApplication>
#include <QDir>
#include <QImage>
#include <QStyleFactory>
#include <QTimer>
#include <QWidget>
#include <iostream>

#include "app/ZorbelMain.h"
#include "app/qt/DisplayCheck.h"
#include "app/qt/QtToolkit.h"
#include "tools/zorbel-sim/Fronts.h"
#include "tools/zorbel-sim/Person.h"

namespace zorbel::simtool {

namespace {

bool savePicture(QWidget& widget, const std::filesystem::path& file) {
    const bool saved = widget.grab().save(QString::fromStdString(file.string()), "PNG");
    std::cerr << (saved ? "wrote " : "could not write ") << file.string() << "\n";
    return saved;
}

std::string dialogSlug(std::string_view caption) {
    std::string slug;
    for (char c : caption) {
        if (std::isalnum(static_cast<unsigned char>(c)) != 0) {
            slug += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    return slug.empty() ? "dialog" : slug;
}

}  // namespace

bool windowFrontBuilt() {
    return true;
}

bool windowOpens() {
    return qt::DisplayOpens();
}

int runWindow(sim::SimHost& computer, const FrontSettings& settings, std::string& error) {
    const bool pictures = settings.screenshotDir.has_value();
    if (pictures) {
        std::error_code failure;
        std::filesystem::create_directories(*settings.screenshotDir, failure);
        if (failure) {
            error = "cannot create " + settings.screenshotDir->string() + ": " + failure.message();
            return 2;
        }
    }
    // The toolkit sees the program's name only; zorbel-sim's own options were
    // read already.
    static char name[] = "zorbel-sim";
    static char* arguments[] = {name, nullptr};
    int count = 1;
    QApplication application(count, arguments);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));

    qt::QtToolkit window;
    Person person(window, computer, &std::cerr);

    // Scripted answers go to the dialogs in order; once they run out, the
    // person answers (or, while taking pictures, the default button does).
    if (WindowDialogScript script = windowDialogScript(settings, pictures)) {
        window.setDialogScript(std::move(script));
    }

    int dialogNumber = 0;
    if (pictures) {
        const std::filesystem::path folder = *settings.screenshotDir;
        window.setDialogObserver([&dialogNumber, folder](QWidget& dialog) {
            ++dialogNumber;
            const std::string file = "dialog-" + std::to_string(dialogNumber) + "-" +
                                     dialogSlug(dialog.windowTitle().toStdString()) + ".png";
            savePicture(dialog, folder / file);
        });
        window.setLoopStarted([&window, folder] {
            qt::MainForm& form = window.form();
            const bool started = picturesUntilUpdate(
                window, [] { QApplication::processEvents(); },
                [&form, &folder](const std::string& name) {
                    savePicture(form, folder / (name + ".png"));
                });
            if (!started) {
                return;
            }
            auto* poll = new QTimer(&form);
            QObject::connect(poll, &QTimer::timeout, &form, [&window, &form, folder, poll] {
                if (window.terminateRequested()) {
                    poll->stop();
                    return;
                }
                if (window.timerEnabled() || !window.enabled(Control::cmdClose)) {
                    return;
                }
                poll->stop();
                savePicture(form, folder / "updated.png");
                window.pressButton(Control::cmdClose);
            });
            poll->start(50);
        });
    }
    return RunZorbel(person);
}

}  // namespace zorbel::simtool
