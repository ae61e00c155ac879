#pragma once

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <memory>

class QSocketNotifier;

// Notices that the serial ports may have changed: the kernel's events for tty devices (an adapter
// plugged in or pulled out), device nodes and their /dev/serial links appearing or going under
// the device root, changes of the port map (edited by the user, or by a tool), and whatever is
// handed to Poke(). A burst of
// such events gives one Changed() once it has been quiet for a moment, as udev makes the nodes
// and links a little after the kernel's event. The watcher only reports; what to do is the
// window's.
class TPortWatcher : public QObject
{
    Q_OBJECT

public:
    explicit TPortWatcher(QObject *parent = nullptr);
    ~TPortWatcher() override;

    // Something else tells that the ports may have changed (a device that called in, or dropped):
    // it counts as one more event of a burst.
    void Poke() { FQuiet.start(); }

signals:
    void Changed();

private:
    // Watches the device root, its serial/ links and the config folder, those that exist now.
    void Rewatch();
    void ReadInotify();
    void ReadUevents();

    int FInotify = -1;
    int FUevents = -1;
    std::unique_ptr<QSocketNotifier> FInotifyNotifier;
    std::unique_ptr<QSocketNotifier> FUeventNotifier;
    QTimer FQuiet;
};

// Whether a kernel device event (a uevent message) is one of the tty class, the only one that
// concerns the port list.
bool IsTtyUevent(const QByteArray &message);
