// The window with one app's log: out and err together, the app's colours drawn, following the
// end while the user reads there, with search, copy, pause and the file itself one click away.
#pragma once

#include "core/ansi_text.h"

#include <QList>
#include <QTextCursor>
#include <QWidget>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTimer;
class QToolButton;

namespace nimbrel {

class LogFeed;
class Store;

namespace ui {

class LogWindow : public QWidget
{
    Q_OBJECT

public:
    static constexpr int maxLines = 10'000;
    static const QSize defaultSize;

    // Takes `feed` as its child. Nothing is read until `start`.
    LogWindow(LogFeed *feed, Store &store, QWidget *parent = nullptr);

    // Reads the tails and follows from then on.
    void start();
    // Adds lines at the end (or keeps them for later while paused).
    void append(const QList<StyledLine> &lines);

    QPlainTextEdit *view() const { return view_; }
    LogFeed *feed() const { return feed_; }
    int waitingBelow() const { return waiting_; }
    int matchCount() const { return int(matches_.size()); }
    // Selects the next (or previous) match and shows it.
    void findNext(bool backwards = false);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void buildTools();
    void showProblems();
    void setPaused(bool paused);
    void search();
    void highlight();
    void atBottomChanged();
    void scrollToEnd();
    QColor colorOf(const SgrColor &color, bool fallbackRed) const;

    LogFeed *feed_;
    Store &store_;
    QPlainTextEdit *view_;
    QLineEdit *searchField_;
    QLabel *matchCount_;
    QToolButton *pause_;
    QToolButton *copy_;
    QToolButton *openFile_;
    QLabel *problems_;
    QPushButton *newBelow_;
    QTimer *saveSize_;
    QTimer *searchAgain_;
    bool empty_ = true;
    int waiting_ = 0;
    QList<StyledLine> held_; // arrived while paused
    QList<QTextCursor> matches_;
    qsizetype current_ = -1;
};

} // namespace ui
} // namespace nimbrel
