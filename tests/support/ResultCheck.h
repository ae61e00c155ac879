#pragma once

#include "platform/SystemError.h"

#include <QTest>

// Checks that an operation succeeded, and shows its reason when it did not.
#define QVERIFY_OK(expression)                                                                     \
    do {                                                                                           \
        const TResult checked_ = (expression);                                                     \
        QVERIFY2(checked_.Ok(), qPrintable(checked_.Reason()));                                    \
    } while (false)
