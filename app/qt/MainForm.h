// The main window's form: every control of the update window at its design
// position, size, font, colour and text, in its tab order. The form holds no
// logic; the Qt front end binds the controls' events to the window's handlers.
#pragma once

#include <QColor>
#include <QComboBox>
#include <QFont>
#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRect>
#include <QSize>
#include <QStringList>
#include <QTimer>
#include <QWidget>

namespace zorbel::qt {

// The three named colours the window uses.
inline const QColor ColorBlack{0, 0, 0};
inline const QColor ColorMaroon{128, 0, 0};
inline const QColor ColorNavy{0, 0, 128};

// Outer size of the window, frame and title bar included.
inline constexpr QSize FormOuterSize{460, 167};
// Client size the outer size leaves inside the standard frame (4-pixel borders,
// 23-pixel title bar); used where the platform reports no frame of its own.
inline constexpr QSize FormClientSize{452, 140};

// Font families in order of preference: the design family first, then fonts of
// the same metrics or look that Linux systems carry.
QStringList fontFamiliesFor(const QString& designFamily);
// A font of the design family (with its fallbacks) at a pixel height.
QFont designFont(const QString& family, int pixelSize, bool bold);

// The two-state image of cmdUpdate: a normal and a disabled variant.
QIcon updateButtonIcon();

class MainForm : public QWidget {
    Q_OBJECT
  public:
    explicit MainForm(QWidget* parent = nullptr);

    QLabel* Label1;
    QComboBox* cboDrives;
    QPushButton* cmdUpdate;
    QPushButton* cmdClose;
    QLabel* lblUpdateMsg;
    QLabel* lblOldFW;
    QLabel* lblNewFW;
    QFrame* Bevel1;
    QLabel* lblMsg;
    QProgressBar* pbar;
    QLabel* lblPercent;
    QTimer* tmr;

    // Sets the text colour of a label (black, maroon or navy).
    static void setLabelColor(QLabel* label, const QColor& color);
    static QColor labelColor(const QLabel* label);
    // Sets a label's text; the label keeps its left and top and widens when the
    // text needs more room than its design width.
    static void setLabelText(QLabel* label, const QString& text);

    // Takes Close out of the title bar: from then on the window closes only
    // through cmdClose or when the program ends (allowClose).
    void removeTitleBarClose();
    bool titleBarCloseRemoved() const { return closeRemoved_; }
    // The program is ending: the window may close now.
    void allowClose() { closeAllowed_ = true; }

    // Moves the window to the centre of its screen, sized so that its outer
    // size (frame included) is FormOuterSize.
    void centreOnScreen();

  signals:
    // The user asked to close the window while closing is not allowed.
    void closeRefused();
    // The user closed the window from its title bar while that was allowed.
    void closedByUser();

  protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    bool closeRemoved_ = false;
    bool closeAllowed_ = false;
    bool placed_ = false;
};

}  // namespace zorbel::qt
