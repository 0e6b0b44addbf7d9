#include "app/qt/QtToolkit.h"

#include <QAbstractButton>
#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QTimer>
#include <algorithm>
#include <utility>

namespace zorbel::qt {

QString toQString(std::string_view text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

std::string fromQString(const QString& text) {
    const QByteArray bytes = text.toLatin1();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

void QtEndEventDispatcher::post(std::function<void()> event) {
    // Qt's queued call carries the event to the target's (the window's)
    // thread; the posting happens-before the call runs there.
    QMetaObject::invokeMethod(
        target_, [event = std::move(event)]() { event(); }, Qt::QueuedConnection);
}

namespace {

// A message box that places itself in the middle of the screen when shown,
// whatever window is active.
class CentredMessageBox final : public QMessageBox {
  public:
    using QMessageBox::QMessageBox;

  protected:
    void showEvent(QShowEvent* event) override {
        QMessageBox::showEvent(event);
        QScreen* screen = QGuiApplication::primaryScreen();
        if (screen != nullptr) {
            const QRect area = screen->availableGeometry();
            const QRect frame = frameGeometry();
            move(area.x() + (area.width() - frame.width()) / 2,
                 area.y() + (area.height() - frame.height()) / 2);
        }
    }
};

QMessageBox::Icon iconOf(DialogKind kind) {
    switch (kind) {
        case DialogKind::Error:
            return QMessageBox::Critical;
        case DialogKind::Warning:
        case DialogKind::WarningQuestion:
            return QMessageBox::Warning;
        case DialogKind::Information:
            return QMessageBox::Information;
    }
    return QMessageBox::NoIcon;
}

}  // namespace

QtToolkit::QtToolkit() : form_(std::make_unique<MainForm>()) {
    QApplication::setQuitOnLastWindowClosed(false);
    MainForm* form = form_.get();
    QObject::connect(form->cboDrives, &QComboBox::activated, form, [this](int) {
        if (events_ != nullptr) {
            events_->cboDrivesChange();
        }
    });
    QObject::connect(form->cmdUpdate, &QPushButton::clicked, form, [this] {
        if (events_ != nullptr) {
            events_->cmdUpdateClick();
        }
    });
    // The stock close button closes the window; its click handler asks the
    // application to end, to the same effect.
    QObject::connect(form->cmdClose, &QPushButton::clicked, form, [this] {
        if (events_ != nullptr) {
            events_->cmdCloseClick();
        }
        terminate();
    });
    QObject::connect(form->tmr, &QTimer::timeout, form, [this] {
        if (events_ != nullptr && form_->tmr->isActive()) {
            events_->tmrTimer();
        }
    });
    // Closing from the title bar (only possible before it loses its Close)
    // ends the program like cmdClose.
    QObject::connect(form, &MainForm::closedByUser, form, [this] {
        if (events_ != nullptr) {
            events_->cmdCloseClick();
        }
        terminate();
    });
}

QtToolkit::~QtToolkit() = default;

void QtToolkit::attachForm(FormEvents* form) {
    events_ = form;
}

void QtToolkit::runMessageLoop() {
    if (terminateRequested_) {
        return;
    }
    form_->show();
    loopRunning_ = true;
    if (loopStarted_) {
        QTimer::singleShot(0, form_.get(), [this] {
            if (!terminateRequested_ && loopStarted_) {
                loopStarted_();
            }
        });
    }
    // Ends when terminate() asks the application to quit.
    while (!terminateRequested_) {
        QApplication::exec();
    }
    loopRunning_ = false;
    form_->allowClose();
    form_->hide();
}

void QtToolkit::terminate() {
    terminateRequested_ = true;
    form_->allowClose();
    // The loop ends at its next turn: the quit is queued, not immediate. Before
    // the loop runs, the flag alone keeps it from starting.
    if (loopRunning_) {
        QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    }
}

void QtToolkit::processPendingMessages() {
    QCoreApplication::processEvents();
}

void QtToolkit::showException(std::string_view message) {
    CentredMessageBox box(QMessageBox::Critical, QCoreApplication::applicationName(),
                          toQString(message), QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void QtToolkit::setCaption(std::string_view caption) {
    form_->setWindowTitle(toQString(caption));
}

std::string QtToolkit::caption() const {
    return fromQString(form_->windowTitle());
}

void QtToolkit::removeSystemMenuClose() {
    form_->removeTitleBarClose();
}

QWidget* QtToolkit::widget(Control control) const {
    MainForm& f = *form_;
    switch (control) {
        case Control::Label1:
            return f.Label1;
        case Control::cboDrives:
            return f.cboDrives;
        case Control::cmdUpdate:
            return f.cmdUpdate;
        case Control::cmdClose:
            return f.cmdClose;
        case Control::lblUpdateMsg:
            return f.lblUpdateMsg;
        case Control::lblOldFW:
            return f.lblOldFW;
        case Control::lblNewFW:
            return f.lblNewFW;
        case Control::Bevel1:
            return f.Bevel1;
        case Control::lblMsg:
            return f.lblMsg;
        case Control::pbar:
            return f.pbar;
        case Control::lblPercent:
            return f.lblPercent;
    }
    return nullptr;
}

QLabel* QtToolkit::label(Control control) const {
    return qobject_cast<QLabel*>(widget(control));
}

void QtToolkit::setText(Control control, std::string_view text) {
    if (QLabel* l = label(control)) {
        MainForm::setLabelText(l, toQString(text));
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget(control))) {
        button->setText(toQString(text));
    }
}

std::string QtToolkit::text(Control control) const {
    if (const QLabel* l = label(control)) {
        return fromQString(l->text());
    }
    if (const auto* button = qobject_cast<const QAbstractButton*>(widget(control))) {
        return fromQString(button->text());
    }
    return {};
}

void QtToolkit::setVisible(Control control, bool visible) {
    widget(control)->setVisible(visible);
}

// Visible as the control's own property, whether or not the window is shown yet.
bool QtToolkit::visible(Control control) const {
    return !widget(control)->isHidden();
}

void QtToolkit::setEnabled(Control control, bool enabled) {
    widget(control)->setEnabled(enabled);
}

bool QtToolkit::enabled(Control control) const {
    return widget(control)->isEnabled();
}

void QtToolkit::setFontColour(Control control, FontColour colour) {
    QLabel* l = label(control);
    if (l == nullptr) {
        return;
    }
    switch (colour) {
        case FontColour::Black:
            MainForm::setLabelColor(l, ColorBlack);
            break;
        case FontColour::Maroon:
            MainForm::setLabelColor(l, ColorMaroon);
            break;
        case FontColour::Navy:
            MainForm::setLabelColor(l, ColorNavy);
            break;
    }
}

FontColour QtToolkit::fontColour(Control control) const {
    const QLabel* l = label(control);
    const QColor colour = l != nullptr ? MainForm::labelColor(l) : ColorBlack;
    if (colour == ColorMaroon) {
        return FontColour::Maroon;
    }
    if (colour == ColorNavy) {
        return FontColour::Navy;
    }
    return FontColour::Black;
}

void QtToolkit::clearList() {
    form_->cboDrives->clear();
}

void QtToolkit::addListLine(std::string_view line) {
    // Adding to an empty list selects nothing: the selection is set by code.
    const QSignalBlocker block(form_->cboDrives);
    const int selected = form_->cboDrives->currentIndex();
    form_->cboDrives->addItem(toQString(line));
    form_->cboDrives->setCurrentIndex(selected);
}

int QtToolkit::listCount() const {
    return form_->cboDrives->count();
}

std::string QtToolkit::listLine(int index) const {
    if (index < 0 || index >= form_->cboDrives->count()) {
        return {};
    }
    return fromQString(form_->cboDrives->itemText(index));
}

void QtToolkit::selectListLine(int index) {
    const QSignalBlocker block(form_->cboDrives);
    form_->cboDrives->setCurrentIndex(index >= 0 && index < form_->cboDrives->count() ? index : -1);
}

int QtToolkit::selectedListLine() const {
    const int index = form_->cboDrives->currentIndex();
    return index < 0 ? NoLine : index;
}

void QtToolkit::setProgressRange(int minimum, int maximum) {
    form_->pbar->setRange(minimum, maximum);
}

int QtToolkit::progressMaximum() const {
    return form_->pbar->maximum();
}

void QtToolkit::setProgressStep(int step) {
    progressStep_ = step;
}

void QtToolkit::progressStepIt() {
    QProgressBar* bar = form_->pbar;
    bar->setValue(std::min(bar->value() + progressStep_, bar->maximum()));
}

void QtToolkit::setProgressPosition(int position) {
    QProgressBar* bar = form_->pbar;
    bar->setValue(std::clamp(position, bar->minimum(), bar->maximum()));
}

int QtToolkit::progressPosition() const {
    // An untouched bar reports its minimum, not Qt's "no value" marker.
    const QProgressBar* bar = form_->pbar;
    return bar->value() < bar->minimum() ? bar->minimum() : bar->value();
}

void QtToolkit::setTimerEnabled(bool enabled) {
    if (enabled) {
        if (!form_->tmr->isActive()) {
            form_->tmr->start();
        }
    } else {
        form_->tmr->stop();
    }
}

bool QtToolkit::timerEnabled() const {
    return form_->tmr->isActive();
}

DialogAnswer QtToolkit::messageDialog(DialogKind kind, std::string_view text) {
    CentredMessageBox box(iconOf(kind), toQString(dialogCaption(kind)), toQString(text),
                          QMessageBox::NoButton);
    box.setTextFormat(Qt::PlainText);
    box.setWindowModality(Qt::ApplicationModal);
    QPushButton* yes = nullptr;
    QPushButton* no = nullptr;
    QPushButton* ok = nullptr;
    if (dialogAsksYesNo(kind)) {
        yes = box.addButton(toQString(YesButtonText), QMessageBox::YesRole);
        no = box.addButton(toQString(NoButtonText), QMessageBox::NoRole);
        box.setDefaultButton(yes);
        box.setEscapeButton(no);
    } else {
        ok = box.addButton(toQString(OkButtonText), QMessageBox::AcceptRole);
        box.setDefaultButton(ok);
        box.setEscapeButton(ok);
    }
    std::optional<DialogAnswer> scripted;
    if (dialogScript_) {
        scripted = dialogScript_(kind, text);
    }
    if (scripted) {
        box.show();
        QCoreApplication::processEvents();
        if (dialogObserver_) {
            dialogObserver_(box);
        }
        box.hide();
        return *scripted;
    }
    if (dialogObserver_) {
        QTimer::singleShot(0, &box, [this, &box] { dialogObserver_(box); });
    }
    box.exec();
    if (!dialogAsksYesNo(kind)) {
        return DialogAnswer::Ok;
    }
    // Escape and the title-bar close both count as the escape button, No.
    return box.clickedButton() == yes ? DialogAnswer::Yes : DialogAnswer::No;
}

void QtToolkit::systemMessageBox(std::string_view text, std::string_view caption) {
    // No owner window.
    CentredMessageBox box(QMessageBox::Critical, toQString(caption), toQString(text),
                          QMessageBox::NoButton);
    box.setTextFormat(Qt::PlainText);
    QPushButton* ok = box.addButton(toQString(OkButtonText), QMessageBox::AcceptRole);
    box.setDefaultButton(ok);
    box.setEscapeButton(ok);
    if (dialogScript_ && dialogScript_(DialogKind::Error, text)) {
        box.show();
        QCoreApplication::processEvents();
        if (dialogObserver_) {
            dialogObserver_(box);
        }
        box.hide();
        return;
    }
    if (dialogObserver_) {
        QTimer::singleShot(0, &box, [this, &box] { dialogObserver_(box); });
    }
    box.exec();
}

void QtToolkit::chooseListLine(int index) {
    selectListLine(index);
    if (events_ != nullptr) {
        events_->cboDrivesChange();
    }
}

void QtToolkit::pressButton(Control control) {
    if (control == Control::cmdUpdate && form_->cmdUpdate->isEnabled()) {
        form_->cmdUpdate->click();
    } else if (control == Control::cmdClose && form_->cmdClose->isEnabled()) {
        form_->cmdClose->click();
    }
}

}  // namespace zorbel::qt
