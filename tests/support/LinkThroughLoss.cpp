#include "support/LinkThroughLoss.h"

#include "app/MainFormUnit.h"
#include "controls/URLLabel.h"
#include "support/LinkScript.h"
#include "support/MainFormControls.h"
#include "support/RelayClient.h"
#include "support/Ser2Net.h"
#include "support/WindowProbes.h"
#include "support/WizardFixture.h"

#include <QElapsedTimer>
#include <QLabel>

bool RunLinkThroughLoss(TWizardFixture &world, const std::function<void()> &loseLine,
                        const std::function<bool()> &comeBack, int &stage)
{
    TMainLindqvarForm &w = world.Main();
    const QByteArray before("before\x00\xff", 8);
    const QByteArray after("after\xff", 6);
    TRelayClient client;
    tools::FrameParser::Event reply;
    stage = 0;
    // Whether the reply is the one Echo of seq with the payload.
    const auto echoed = [&](int seq, const QByteArray &payload) {
        if (!client.TakeReply(reply))
            return false;
        LINK_COMPARE(int(reply.result), int(tools::FrameParser::Result::Frame));
        LINK_COMPARE(int(reply.frame.seq), seq);
        LINK_COMPARE(QByteArray::fromStdString(reply.frame.payload), payload);
        return true;
    };
    TLinkScript script(
        [&] {
            switch (stage) {
            case 0:
                if (w.Session().CommandState() != TCommandState::Connected)
                    return false;
                client.Connect(world.ServerPort);
                stage = 1;
                return false;
            case 1:
                if (!SetupProgramConnected(w))
                    return false;
                client.Send(1, tools::Echo, before);
                stage = 2;
                return false;
            case 2:
                if (!echoed(1, before))
                    return false;
                loseLine();
                stage = 3;
                return false;
            case 3:
                // The lost line counts as a pulled cable, and the window goes on.
                if (Ui(w).Label7->text() != QStringLiteral("Прибор недоступен"))
                    return false;
                LINK_COMPARE(StatusColor(w), AlarmStatusColor);
                stage = 4;
                return false;
            case 4:
                if (!comeBack())
                    return false;
                stage = 5;
                return false;
            case 5:
                if (!world.LogHas(QStringLiteral("Порт успешно переоткрыт")))
                    return false;
                LINK_COMPARE(Ui(w).Label7->text(), QStringLiteral("Подключен"));
                LINK_COMPARE(StatusColor(w), NormalStatusColor());
                LINK_VERIFY(world.LogHas(QStringLiteral("Попытка переокрытия COM порта")));
                LINK_VERIFY(client.IsConnected());
                client.Send(2, tools::Echo, after);
                stage = 6;
                return false;
            default:
                if (!echoed(2, after))
                    return false;
                QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);
                return true;
            }
        },
        [&] { w.URLLabel1Click(); });
    QTest::mouseClick(Ui(w).URLLabel1, Qt::LeftButton);
    if (!script.Succeeded(QStringLiteral("stage %1").arg(stage)))
        return false;
    // The link's end closes the setup program's connection.
    return QTest::qWaitFor([&] { return client.IsClosed(); }, 5000);
}

bool RunServerGoneAndBack(TWizardFixture &world, TSer2Net &server)
{
    QElapsedTimer away;
    const auto comeBack = [&] {
        if (!away.isValid())
            away.start();
        if (away.elapsed() < 500 || !world.LogHas(QStringLiteral("Попытка переокрытия COM порта")))
            return false;
        LINK_VERIFY(server.Start());
        return true;
    };
    int stage = 0;
    const bool ran = RunLinkThroughLoss(
        world, [&] { server.Stop(); }, comeBack, stage);
    if (!ran)
        qWarning("the link through the server's absence reached stage %d", stage);
    return ran && ExpectIdle(world.Main());
}
