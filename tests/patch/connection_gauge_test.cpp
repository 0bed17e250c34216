#include "patch/connection_gauge.h"

#include <gtest/gtest.h>

namespace {

// A line as the gauge sees it: each connection brings per_connection bytes a
// second (its round trips bound it) until the line's own rate is reached;
// the server refuses beyond refuse_beyond connections (0: never).
struct Line {
    const char *name;
    double per_connection, line_rate;
    DWORD refuse_beyond;
    DWORD least, most; // where the count stays from settled_ms on
    DWORD settled_ms;
};

TEST(ConnectionGauge, SettlesWithTheLine)
{
    const double kSlow = 300000; // 2.4 Mbit/s
    const Line lines[] = {
        {"slow line, near", kSlow, kSlow, 0, 1, 3, 30000},
        {"slow line, far", kSlow / 1.5, kSlow, 0, 1, 3, 30000},
        {"fast line, far", 2e6, 1e9, 0, 8, 8, 800}, // filled within two half windows
        {"fast line, far, a server that refuses past 3", 2e6, 1e9, 3, 2, 3, 30000},
    };
    const DWORD kStepMs = 10, kRunMs = 60000;
    for (const Line &line : lines) {
        ConnectionGauge gauge;
        DWORD now = 1000;
        double bytes = 0;
        StartGauge(&gauge, kGaugeFirstConnections, now, 0);
        DWORD least = kGaugeMaxConnections, most = 0;
        for (DWORD t = 0; t < kRunMs; t += kStepMs, now += kStepMs) {
            double rate = gauge.limit * line.per_connection;
            bytes += (rate < line.line_rate ? rate : line.line_rate) * kStepMs / 1000;
            GaugeWaiters(&gauge, now, 1); // always more to fetch
            GaugeSample(&gauge, now, (ULONGLONG)bytes);
            if (line.refuse_beyond && gauge.limit > line.refuse_beyond)
                GaugeRefused(&gauge, now, (ULONGLONG)bytes, false); // the next one is turned away
            if (t >= line.settled_ms) {
                least = gauge.limit < least ? gauge.limit : least;
                most = gauge.limit > most ? gauge.limit : most;
            }
        }
        EXPECT_GE(least, line.least) << line.name;
        EXPECT_LE(most, line.most) << line.name;
    }
}

// Windows in which nothing came, or downloads waited for a connection
// through less than most of it, change nothing: a held line, a run with
// little to fetch, or one waiting on a large file in front is no evidence.
TEST(ConnectionGauge, NoEvidenceNoChange)
{
    const struct {
        const char *name;
        DWORD waiting_ms; // of each 100 ms
        bool bytes_come;
    } cases[] = {
        {"nothing came", 100, false},
        {"nothing waited", 0, true},
        {"waited a little", 40, true},
        {"waited through more than half, not most", 60, true},
    };
    for (const auto &c : cases) {
        ConnectionGauge gauge;
        StartGauge(&gauge, 5, 0, 0);
        ULONGLONG bytes = 0;
        DWORD changes = 0;
        for (DWORD now = 0; now < 20000; now += 10) {
            GaugeWaiters(&gauge, now, now % 100 < c.waiting_ms ? 1 : 0);
            bytes += c.bytes_come ? 10000 * (1 + now / 1000) : 0; // a growing rate
            GaugeSample(&gauge, now, bytes);
            changes += gauge.limit != 5;
        }
        EXPECT_EQ(changes, 0u) << c.name;
    }
}

} // namespace
