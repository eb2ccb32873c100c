#include "app/ui/log_window.h"

#include "app/logs/log_feed.h"
#include "app/store.h"
#include "app/ui/style.h"
#include "app/ui/texts.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include <cstring>

namespace nimbrel::ui {

const QSize LogWindow::defaultSize(800, 500);

namespace {

constexpr int maxMatches = 10'000;

bool isDark(const QPalette &palette)
{
    return palette.color(QPalette::Base).lightness() < 128;
}

// The 16 basic colours in tones that read on the view's own ground, light or dark.
QColor basicColor(uint32_t index, bool dark)
{
    static constexpr std::array<QRgb, 16> onLight{
        0x000000, 0xc91b00, 0x00a600, 0xa68b00, 0x0225c7, 0xb22fb2, 0x00a6b2, 0x8a8a8a,
        0x686868, 0xff3b30, 0x1ec11e, 0xc29a00, 0x3a6cf4, 0xd24fd2, 0x00b8c4, 0x404040};
    static constexpr std::array<QRgb, 16> onDark{
        0x6e6e6e, 0xff5f56, 0x4fd15a, 0xe5c07b, 0x6ea8ff, 0xd67ad6, 0x56d4dd, 0xcfcfcf,
        0x8c8c8c, 0xff7b72, 0x7ee787, 0xf2d479, 0x93b9ff, 0xe8a0e8, 0x8ae6ee, 0xffffff};
    return QColor(dark ? onDark[index % 16] : onLight[index % 16]);
}

QString problemText(const LogFeed::Stream &stream)
{
    if (*stream.error == ENOENT)
        return texts::logMissing.arg(*stream.path);
    return texts::logUnreadable.arg(*stream.path,
                                    QString::fromLocal8Bit(std::strerror(*stream.error)));
}

QSize storedSize(Store &store)
{
    const QVariantMap size = store.dictionary(StoreKey::logWindowSize).value_or(QVariantMap{});
    const int width = size.value(QStringLiteral("width")).toInt();
    const int height = size.value(QStringLiteral("height")).toInt();
    if (width < 200 || height < 150)
        return LogWindow::defaultSize;
    return {width, height};
}

} // namespace

LogWindow::LogWindow(LogFeed *feed, Store &store, QWidget *parent)
    : QWidget(parent, Qt::Window), feed_(feed), store_(store), view_(new QPlainTextEdit(this)),
      searchField_(new QLineEdit(this)), matchCount_(new QLabel(this)),
      pause_(new QToolButton(this)), copy_(new QToolButton(this)), openFile_(new QToolButton(this)),
      problems_(new QLabel(this)), newBelow_(new QPushButton(this)), saveSize_(new QTimer(this)),
      searchAgain_(new QTimer(this))
{
    feed_->setParent(this);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(texts::logWindowTitle.arg(feed_->appName()));
    view_->setObjectName(QStringLiteral("log"));
    view_->setReadOnly(true);
    view_->setMaximumBlockCount(maxLines);
    view_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    view_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    view_->setFrameShape(QFrame::NoFrame);
    problems_->setObjectName(QStringLiteral("problems"));
    problems_->setWordWrap(true);
    problems_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    problems_->setContentsMargins(10, 6, 10, 6);
    newBelow_->setObjectName(QStringLiteral("newBelow"));
    newBelow_->hide();

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    buildTools();
    layout->addWidget(problems_);
    layout->addWidget(view_, 1);
    layout->addWidget(newBelow_);

    connect(newBelow_, &QPushButton::clicked, this, &LogWindow::scrollToEnd);
    connect(view_->verticalScrollBar(), &QScrollBar::valueChanged, this,
            &LogWindow::atBottomChanged);
    connect(feed_, &LogFeed::linesArrived, this, &LogWindow::append);
    connect(feed_, &LogFeed::streamsChanged, this, &LogWindow::showProblems);
    // The size is written once the user stops dragging, not on every step of the drag.
    saveSize_->setSingleShot(true);
    saveSize_->setInterval(500);
    connect(saveSize_, &QTimer::timeout, this, [this] {
        store_.setValue(StoreKey::logWindowSize, QVariantMap{{QStringLiteral("width"), width()},
                                                             {QStringLiteral("height"), height()}});
    });
    // Matches follow new lines at a calm pace: a busy log would otherwise search on every line.
    searchAgain_->setSingleShot(true);
    searchAgain_->setInterval(300);
    connect(searchAgain_, &QTimer::timeout, this, &LogWindow::highlight);
    resize(storedSize(store_));
    saveSize_->stop();
}

void LogWindow::buildTools()
{
    auto *bar = new QWidget(this);
    auto *tools = new QHBoxLayout(bar);
    tools->setContentsMargins(8, 6, 8, 6);
    tools->setSpacing(6);
    searchField_->setObjectName(QStringLiteral("search"));
    searchField_->setPlaceholderText(texts::logSearchPlaceholder);
    searchField_->setClearButtonEnabled(true);
    searchField_->installEventFilter(this);
    matchCount_->setObjectName(QStringLiteral("matchCount"));
    matchCount_->setMinimumWidth(80);
    pause_->setObjectName(QStringLiteral("pause"));
    pause_->setText(texts::pause);
    pause_->setCheckable(true);
    copy_->setObjectName(QStringLiteral("copy"));
    copy_->setText(texts::copy);
    copy_->setEnabled(false);
    openFile_->setObjectName(QStringLiteral("openFile"));
    openFile_->setText(texts::openLogFile);
    openFile_->setToolTip(texts::openLogFileHelp);
    openFile_->setEnabled(feed_->mainPath().has_value());
    tools->addWidget(searchField_, 1);
    tools->addWidget(matchCount_);
    tools->addWidget(pause_);
    tools->addWidget(copy_);
    tools->addWidget(openFile_);
    static_cast<QVBoxLayout *>(layout())->addWidget(bar);

    connect(searchField_, &QLineEdit::textChanged, this, &LogWindow::search);
    connect(pause_, &QToolButton::toggled, this, &LogWindow::setPaused);
    connect(view_, &QPlainTextEdit::copyAvailable, copy_, &QToolButton::setEnabled);
    connect(copy_, &QToolButton::clicked, view_, &QPlainTextEdit::copy);
    connect(openFile_, &QToolButton::clicked, this, [this] {
        if (const auto path = feed_->mainPath())
            QDesktopServices::openUrl(QUrl::fromLocalFile(*path));
    });
}

void LogWindow::start()
{
    append(feed_->open());
    showProblems();
    scrollToEnd();
}

void LogWindow::showProblems()
{
    QStringList lines;
    bool anyLog = false;
    for (const LogFeed::Stream &stream : feed_->streams()) {
        anyLog = anyLog || stream.path;
        if (stream.path && stream.error)
            lines.append(problemText(stream));
    }
    if (!anyLog)
        lines.append(texts::noLog);
    setTextColor(problems_, basicColor(1, isDark(palette())));
    problems_->setText(lines.join(u'\n'));
    problems_->setVisible(!lines.isEmpty());
}

QColor LogWindow::colorOf(const SgrColor &color, bool fallbackRed) const
{
    const bool dark = isDark(palette());
    switch (color.kind) {
    case SgrColor::Kind::indexed:
        if (color.value < 16)
            return basicColor(color.value, dark);
        return QColor(QRgb(rgbOfIndex(int(color.value))));
    case SgrColor::Kind::rgb:
        return QColor(QRgb(color.value));
    case SgrColor::Kind::none:
        break;
    }
    return fallbackRed ? basicColor(1, dark) : QColor();
}

void LogWindow::append(const QList<StyledLine> &lines)
{
    if (lines.isEmpty())
        return;
    if (pause_->isChecked()) {
        held_ += lines;
        if (held_.size() > maxLines)
            held_.remove(0, held_.size() - maxLines);
        newBelow_->setText(texts::pausedLines.arg(held_.size()));
        newBelow_->show();
        return;
    }
    QScrollBar *bar = view_->verticalScrollBar();
    const bool atBottom = empty_ || bar->value() >= bar->maximum();
    // Only the lines the view can keep are drawn: a burst of 50,000 costs what 10,000 do.
    const qsizetype first = std::max<qsizetype>(0, lines.size() - maxLines);
    QTextCursor cursor(view_->document());
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    QTextCharFormat cutMark;
    cutMark.setForeground(toneColor(palette(), Tone::tertiary));
    for (qsizetype i = first; i < lines.size(); ++i) {
        const StyledLine &line = lines[i];
        if (!empty_)
            cursor.insertBlock();
        empty_ = false;
        for (const StyledRun &run : line.runs) {
            QTextCharFormat format;
            if (const QColor fg = colorOf(run.style.foreground, line.isError); fg.isValid())
                format.setForeground(fg);
            if (const QColor bg = colorOf(run.style.background, false); bg.isValid())
                format.setBackground(bg);
            if (run.style.bold)
                format.setFontWeight(QFont::Bold);
            cursor.insertText(run.text, format);
        }
        if (line.cut)
            cursor.insertText(texts::lineCut, cutMark);
    }
    cursor.endEditBlock();
    if (atBottom) {
        scrollToEnd();
    } else {
        waiting_ += int(lines.size() - first);
        newBelow_->setText(texts::newLinesBelow.arg(waiting_));
        newBelow_->show();
    }
    if (!searchField_->text().isEmpty())
        searchAgain_->start();
}

void LogWindow::scrollToEnd()
{
    QScrollBar *bar = view_->verticalScrollBar();
    bar->setValue(bar->maximum());
    waiting_ = 0;
    newBelow_->setVisible(pause_->isChecked() && !held_.isEmpty());
}

void LogWindow::atBottomChanged()
{
    QScrollBar *bar = view_->verticalScrollBar();
    if (waiting_ > 0 && bar->value() >= bar->maximum())
        scrollToEnd();
}

void LogWindow::setPaused(bool paused)
{
    if (paused)
        return;
    const QList<StyledLine> held = std::exchange(held_, {});
    newBelow_->hide();
    append(held);
}

void LogWindow::search()
{
    current_ = -1;
    highlight();
    if (!matches_.isEmpty())
        findNext();
}

void LogWindow::highlight()
{
    matches_.clear();
    const QString query = searchField_->text();
    if (!query.isEmpty()) {
        QTextCursor at(view_->document());
        while (matches_.size() < maxMatches) {
            at = view_->document()->find(query, at);
            if (at.isNull())
                break;
            matches_.append(at);
        }
    }
    current_ = std::min(current_, matches_.size() - 1);
    const bool dark = isDark(palette());
    QList<QTextEdit::ExtraSelection> marks;
    for (qsizetype i = 0; i < matches_.size(); ++i) {
        QTextEdit::ExtraSelection mark;
        mark.cursor = matches_[i];
        mark.format.setBackground(i == current_ ? QColor(0xff9f0a)
                                                : QColor(dark ? 0x6b5a00 : 0xfff3a0));
        marks.append(mark);
    }
    view_->setExtraSelections(marks);
    matchCount_->setText(query.isEmpty() ? QString()
                         : matches_.isEmpty()
                             ? texts::noMatch
                             : texts::matchCount.arg(current_ + 1).arg(matches_.size()));
}

void LogWindow::findNext(bool backwards)
{
    if (matches_.isEmpty())
        return;
    const qsizetype count = matches_.size();
    current_ = current_ < 0 ? (backwards ? count - 1 : 0)
                            : (current_ + (backwards ? count - 1 : 1)) % count;
    QTextCursor shown = matches_[current_];
    view_->setTextCursor(shown);
    view_->ensureCursorVisible();
    highlight();
}

bool LogWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == searchField_ && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            findNext(key->modifiers() & Qt::ShiftModifier);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void LogWindow::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    if (isVisible())
        saveSize_->start();
}

} // namespace nimbrel::ui
