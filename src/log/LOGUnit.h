#pragma once

#include "log/LogList.h"
#include "log/ThreadLogWriter.h"

#include <QString>
#include <QWidget>

class QCheckBox;
class QFileDialog;
class QMenu;
class QAction;

// The log window "Данные": the event log list with its clear and save commands. It is created
// hidden at start-up and only shown and hidden afterwards; closing it hides it and keeps the
// lines and the check box state.
class TLOGForm : public QWidget
{
    Q_OBJECT

public:
    explicit TLOGForm(QWidget *parent = nullptr);

    TLogList *Log = nullptr;                 // the log lines, newest last
    QCheckBox *AutiscrollCheckBox = nullptr; // "Прокрутка": the window's writer scrolls to the end
    QMenu *PopupMenu = nullptr;              // context menu of Log
    QAction *N1 = nullptr;                   // "Очистить"
    QAction *N2 = nullptr;                   // "Сохранить"
    QAction *N3 = nullptr;             // "Шестнадцатеричный вид", checkable
    QFileDialog *SaveDialog = nullptr; // picks the file for "Сохранить"

    // Where the dialer's lines go: appended, and the list scrolled to its end, whether the
    // window is shown or not and whatever its autoscroll box says.
    TLogSink ThreadSink();

public slots:
    // Removes every line.
    void N1Click();
    // Asks for a file and writes every line to it, CR LF after each, UTF-8 without a byte-order
    // mark; an existing file is replaced without asking, ".log" is added to a name without an
    // extension. A failure is shown in an error box and leaves the list as it is.
    void N2Click();

private:
    void ShowPopupMenu(const QPoint &pos);
};

// Sets the list's top line to its last line, which scrolls it to the end; nothing for an empty
// list.
void ScrollLogToEnd(TLogList &log);

// The main window's log writer. Records nothing while the log window is hidden. Otherwise each
// piece of the message (see SplitLogMessage) becomes a line "<timestamp>: <prefix> <piece>" with
// a fresh timestamp, and when the autoscroll box is checked the list is scrolled to its end once
// after all pieces are in.
void WriteLogTo(TLOGForm &form, const QString &message, const QString &prefix);
// The same for Windows-1251 bytes (relayed data): the lines show them as Win1251ToString would,
// and nothing is converted while the window is hidden.
void WriteLogBytesTo(TLOGForm &form, QByteArrayView bytes, const QString &prefix);
