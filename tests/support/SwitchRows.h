#pragma once

#include <QTest>

// The data of a test that runs both ways of one switch: a bool column, false first, each row
// named for what the test does that way.
inline void AddSwitchRows(const char *column, const char *whenFalse, const char *whenTrue)
{
    QTest::addColumn<bool>(column);
    QTest::newRow(whenFalse) << false;
    QTest::newRow(whenTrue) << true;
}
