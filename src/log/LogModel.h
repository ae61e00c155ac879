#pragma once

#include "log/LogFormat.h"
#include "log/LogStore.h"

#include <QAbstractListModel>
#include <QByteArray>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <optional>

// The event log's lines, kept compactly and formatted only when a view draws them or the log is
// saved: the time as a number, the prefix as a small code, the text as its Windows-1251 bytes
// (as relayed data already are, one character per byte), or as UTF-8 where the code page lacks a
// character. A line costs its text's bytes and 16 more (TLogStore).
//
// Views learn of new lines in batches, at most PublishMs after they were added (or at once
// through Publish()), so that a stream of lines does not lay out and repaint the list for each
// one. Count() and Line() know every line at once.
class TLogModel : public QAbstractListModel
{
    Q_OBJECT

public:
    static constexpr int PublishMs = 100;

    explicit TLogModel(QObject *parent = nullptr);
    ~TLogModel() override;

    void Append(const TLogEntry &entry);
    void Append(TLogEntry::TWriter writer, qint64 time, QStringView prefix, QStringView text);
    // A line whose text is Windows-1251 bytes (relayed data), kept as they are.
    void AppendBytes(TLogEntry::TWriter writer, qint64 time, QStringView prefix,
                     QByteArrayView text);
    // A line taken as it is, without a time of its own.
    void AppendText(const QString &line);
    // Tells the views of every line added so far.
    void Publish();
    void Clear();
    void RemoveLine(int row);

    int Count() const { return int(FLines.Size()); }
    // A line as it is saved, and as it is shown (the hex view applied).
    QString Line(int row) const;
    QString ShownLine(int row) const;

    // Data lines (prefixes APP->COM, COM->APP, TCP->COM, COM->TCP) shown as their bytes in
    // hexadecimal followed by the text; a view only, saving is unchanged.
    bool HexView() const { return FHexView; }
    void SetHexView(bool on);

    // Every line as the saved file holds it (UTF-8, CR LF after each), handed to write in pieces
    // of about a megabyte; stops when write returns false.
    bool WriteText(const std::function<bool(const QByteArray &piece)> &write) const;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;

private:
    // The kind of a line of the writer with the prefix; none for a prefix without a code.
    static std::optional<std::uint8_t> KindOf(TLogEntry::TWriter writer, QStringView prefix);
    void Store(qint64 time, std::uint8_t kind, QByteArrayView text);
    // The line as saved, appended as UTF-8; with hex, data lines as shown in the hex view.
    void AppendUtf8(std::size_t line, bool hex, QByteArray &out) const;
    QString Render(int row, bool hex) const;

    TLogStore FLines;
    QByteArray FScratch; // a line's text on its way into the store
    int FPublished = 0;  // rows the views know of
    bool FHexView = false;
    QTimer FPublishTimer;
};
