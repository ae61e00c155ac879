#pragma once

#include <QString>

#include <functional>

class TWizardFixture;

// A cable link that loses its line and gets it back, as the user sees it: the setup program's
// connection (a TRelayClient on the endpoint) exchanges an Echo with 0x00 and 0xFF in it; then
// loseLine makes the line go; the status must turn to "Прибор недоступен" in the alarm colour;
// from then on comeBack runs on every step until it returns true (it brings the line back, or
// waits for the moment to, or the line returns by itself); once the log says "Порт успешно
// переоткрыт" the status is "Подключен" again, the same connection exchanges another Echo, and
// the user's click ends the link. The link must be set up already (port, type, a setup program
// that stays out of the way) and is started here. False, with the failure recorded, when a
// stage went wrong or never came; stage says which it reached.
[[nodiscard]] bool RunLinkThroughLoss(TWizardFixture &world, const std::function<void()> &loseLine,
                                      const std::function<bool()> &comeBack, int &stage);

class TSer2Net;
// RunLinkThroughLoss with the device behind the server: the server is stopped mid-link, stays
// away for half a second of reopen attempts, and comes back on the same port. The link must be
// set up already; the window is idle again at the end.
[[nodiscard]] bool RunServerGoneAndBack(TWizardFixture &world, TSer2Net &server);
