#include "app/qt/MainForm.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QScreen>
#include <QShowEvent>
#include <QStyle>
#include <QStyledItemDelegate>
#include <algorithm>

namespace zorbel::qt {

namespace {

// The drive list's lines are 16 pixels high.
class FixedRowHeightDelegate : public QStyledItemDelegate {
  public:
    FixedRowHeightDelegate(int height, QObject* parent)
        : QStyledItemDelegate(parent), height_(height) {}
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        size.setHeight(height_);
        return size;
    }

  private:
    int height_;
};

// Design geometry of one control, client coordinates.
void place(QWidget* widget, const char* name, int left, int top, int width, int height) {
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(left, top, width, height);
}

QLabel* makeLabel(QWidget* parent, const char* name, QRect rect, const char* text, QFont font,
                  const QColor& color) {
    auto* label = new QLabel(QString::fromLatin1(text), parent);
    place(label, name, rect.x(), rect.y(), rect.width(), rect.height());
    // A fallback family may run wider than the design font: set its letters
    // closer so the
    // design text keeps its design width, and the labels placed after it (the
    // revisions in the blanks of lblUpdateMsg) stay clear of it.
    const int advance = QFontMetrics(font).horizontalAdvance(label->text());
    if (advance > rect.width()) {
        font.setLetterSpacing(QFont::PercentageSpacing,
                              std::max(85.0, 100.0 * rect.width() / advance));
    }
    label->setFont(font);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setMargin(0);
    label->setIndent(0);
    MainForm::setLabelColor(label, color);
    label->setProperty("designWidth", rect.width());
    MainForm::setLabelText(label, label->text());
    return label;
}

// A chip with an arrow pointing into it: the update image. The disabled
// variant is the same drawing in greys.
QPixmap drawUpdateImage(bool enabled) {
    constexpr int size = 16;
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing, false);
    const QColor chip = enabled ? QColor(40, 40, 40) : QColor(160, 160, 160);
    const QColor pins = enabled ? QColor(150, 150, 150) : QColor(200, 200, 200);
    const QColor arrow = enabled ? QColor(0, 140, 0) : QColor(128, 128, 128);
    const QColor arrowEdge = enabled ? QColor(0, 80, 0) : QColor(110, 110, 110);
    // Chip body with pins on both sides.
    painter.fillRect(QRect(4, 9, 8, 6), chip);
    for (int x = 5; x <= 10; x += 2) {
        painter.fillRect(QRect(x, 8, 1, 1), pins);
        painter.fillRect(QRect(x, 15, 1, 1), pins);
    }
    // Arrow down into the chip.
    QPainterPath path;
    path.moveTo(6, 0);
    path.lineTo(10, 0);
    path.lineTo(10, 4);
    path.lineTo(13, 4);
    path.lineTo(8, 9);
    path.lineTo(3, 4);
    path.lineTo(6, 4);
    path.closeSubpath();
    painter.setPen(arrowEdge);
    painter.setBrush(arrow);
    painter.drawPath(path);
    return pixmap;
}

}  // namespace

QStringList fontFamiliesFor(const QString& designFamily) {
    QStringList families{designFamily};
    const QString family = designFamily.toLower();
    if (family == QLatin1String("arial")) {
        families << QStringLiteral("Liberation Sans") << QStringLiteral("Arimo")
                 << QStringLiteral("DejaVu Sans Condensed") << QStringLiteral("DejaVu Sans");
    } else if (family == QLatin1String("courier new")) {
        families << QStringLiteral("Liberation Mono") << QStringLiteral("Cousine")
                 << QStringLiteral("DejaVu Sans Mono") << QStringLiteral("Monospace");
    } else if (family == QLatin1String("tahoma")) {
        families << QStringLiteral("DejaVu Sans Condensed") << QStringLiteral("Liberation Sans")
                 << QStringLiteral("DejaVu Sans");
    } else if (family == QLatin1String("verdana")) {
        families << QStringLiteral("DejaVu Sans") << QStringLiteral("Bitstream Vera Sans");
    } else if (family == QLatin1String("ms sans serif")) {
        families << QStringLiteral("Microsoft Sans Serif") << QStringLiteral("Liberation Sans")
                 << QStringLiteral("DejaVu Sans Condensed") << QStringLiteral("DejaVu Sans");
    }
    return families;
}

QFont designFont(const QString& family, int pixelSize, bool bold) {
    QFont font;
    font.setFamilies(fontFamiliesFor(family));
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    font.setStyleHint(family.toLower() == QLatin1String("courier new") ? QFont::TypeWriter
                                                                       : QFont::SansSerif);
    return font;
}

QIcon updateButtonIcon() {
    QIcon icon;
    icon.addPixmap(drawUpdateImage(true), QIcon::Normal);
    icon.addPixmap(drawUpdateImage(false), QIcon::Disabled);
    return icon;
}

MainForm::MainForm(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("ZorbelMain"));
    setWindowTitle(QStringLiteral("Zorbel"));
    setFont(designFont(QStringLiteral("MS Sans Serif"), 11, false));
    // Button-face background, window-text foreground.
    setBackgroundRole(QPalette::Button);
    setAutoFillBackground(true);
    resize(FormClientSize);

    const QFont arial11 = designFont(QStringLiteral("Arial"), 11, false);
    const QFont tahoma11Bold = designFont(QStringLiteral("Tahoma"), 11, true);

    Label1 = makeLabel(this, "Label1", {12, 4, 128, 14}, "Please select target drive :", arial11,
                       ColorBlack);

    cboDrives = new QComboBox(this);
    place(cboDrives, "cboDrives", 8, 24, 353, 24);
    cboDrives->setEditable(false);
    cboDrives->setFont(designFont(QStringLiteral("Courier New"), 13, false));
    cboDrives->setItemDelegate(new FixedRowHeightDelegate(16, cboDrives));

    cmdUpdate = new QPushButton(QStringLiteral("&Update"), this);
    place(cmdUpdate, "cmdUpdate", 368, 24, 77, 25);
    cmdUpdate->setFont(tahoma11Bold);
    cmdUpdate->setIcon(updateButtonIcon());
    cmdUpdate->setIconSize(QSize(16, 16));

    cmdClose = new QPushButton(QStringLiteral("&Close"), this);
    place(cmdClose, "cmdClose", 368, 52, 77, 25);
    cmdClose->setFont(tahoma11Bold);
    cmdClose->setIcon(style()->standardIcon(QStyle::SP_DialogCloseButton, nullptr, cmdClose));
    cmdClose->setIconSize(QSize(16, 16));

    lblUpdateMsg = makeLabel(this, "lblUpdateMsg", {12, 56, 154, 14},
                             "It will be updated from             to", arial11, ColorBlack);
    lblOldFW = makeLabel(this, "lblOldFW", {124, 56, 28, 13}, "XXXX", tahoma11Bold, ColorNavy);
    lblNewFW = makeLabel(this, "lblNewFW", {172, 56, 28, 13}, "XXXX", tahoma11Bold, ColorNavy);

    Bevel1 = new QFrame(this);
    place(Bevel1, "Bevel1", 8, 84, 437, 49);
    Bevel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
    Bevel1->setLineWidth(1);
    Bevel1->setMidLineWidth(0);
    Bevel1->lower();

    lblMsg = makeLabel(this, "lblMsg", {16, 92, 56, 13}, "Message",
                       designFont(QStringLiteral("Verdana"), 11, true), ColorNavy);

    pbar = new QProgressBar(this);
    place(pbar, "pbar", 16, 112, 373, 13);
    pbar->setRange(0, 100);
    pbar->setValue(0);
    pbar->setTextVisible(false);
    // Smooth: one continuous bar rather than blocks.
    pbar->setStyleSheet(QStringLiteral(
        "QProgressBar { border: 1px solid palette(mid); background: palette(base); }"
        "QProgressBar::chunk { background-color: palette(highlight); margin: 0px; }"));

    lblPercent = makeLabel(this, "lblPercent", {400, 112, 34, 13}, "100%", tahoma11Bold, ColorNavy);

    tmr = new QTimer(this);
    tmr->setObjectName(QStringLiteral("tmr"));
    tmr->setInterval(100);
    tmr->setTimerType(Qt::PreciseTimer);
    tmr->stop();

    // Tab order: cboDrives, pbar, cmdUpdate, cmdClose.
    pbar->setFocusPolicy(Qt::TabFocus);
    setTabOrder(cboDrives, pbar);
    setTabOrder(pbar, cmdUpdate);
    setTabOrder(cmdUpdate, cmdClose);
}

void MainForm::setLabelColor(QLabel* label, const QColor& color) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

void MainForm::setLabelText(QLabel* label, const QString& text) {
    label->setText(text);
    // An auto-sized label: it keeps its left and top and grows to the right
    // when the text (or the fallback font) needs more than the design width.
    const int designWidth = label->property("designWidth").toInt();
    label->resize(std::max(designWidth, label->sizeHint().width()), label->height());
}

QColor MainForm::labelColor(const QLabel* label) {
    return label->palette().color(QPalette::WindowText);
}

void MainForm::removeTitleBarClose() {
    closeRemoved_ = true;
    const bool wasVisible = isVisible();
    setWindowFlag(Qt::WindowCloseButtonHint, false);
    if (wasVisible) {
        show();  // changing the flags of a shown window hides it
    }
}

void MainForm::centreOnScreen() {
    QScreen* screen = this->screen() != nullptr ? this->screen() : QGuiApplication::primaryScreen();
    // Frame extent the platform reports (none before the window is shown, and
    // none at all on frameless platforms).
    const QSize frameExtra = frameGeometry().size() - geometry().size();
    const QSize client = frameExtra.isEmpty() ? FormClientSize : FormOuterSize - frameExtra;
    resize(client);
    if (screen != nullptr) {
        const QRect area = screen->availableGeometry();
        const QSize outer = client + (frameExtra.isEmpty() ? QSize(0, 0) : frameExtra);
        move(area.x() + (area.width() - outer.width()) / 2,
             area.y() + (area.height() - outer.height()) / 2);
    }
}

void MainForm::closeEvent(QCloseEvent* event) {
    if (closeAllowed_) {
        event->accept();
        return;
    }
    if (!closeRemoved_) {
        event->accept();
        emit closedByUser();
        return;
    }
    event->ignore();
    emit closeRefused();
}

void MainForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!placed_) {
        placed_ = true;
        centreOnScreen();
    }
}

}  // namespace zorbel::qt
