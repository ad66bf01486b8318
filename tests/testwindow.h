#pragma once
// Waiting on the main window's exchange engine in end-to-end tests.

#include "app/formmain.h"
#include "link/exchangeengine.h"
#include "link/serialchannel.h"

#include <QElapsedTimer>
#include <QtTest>

// Waits, with the event loop running, until the request with function `f` is on the wire
// and its reply awaited.
inline bool waitForRequest(zk::FormMain &w, int f, int timeoutMs = 10000)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < timeoutMs) {
        const QByteArray cur = w.engine()->currentRequest();
        if (!cur.isEmpty() && quint8(cur.at(0)) == f && w.engine()->awaitingReply()
            && w.channel()->parity() == zk::Parity::Space)
            return true;
        QTest::qWait(1);
    }
    return false;
}
