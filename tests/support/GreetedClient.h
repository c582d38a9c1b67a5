#pragma once
// A client of the daemon under test that has connected to a session's socket
// and taken its "connected" greeting; a failure of either is a test failure.

#include "tests/support/DaemonHarness.h"
#include "tools/KestClient.h"

#include <gtest/gtest.h>

#include <memory>

inline std::unique_ptr<KestClient> connectGreetedClient(const DaemonHarness &daemon,
                                                        quint32 session = DaemonHarness::kSession)
{
    auto client = std::make_unique<KestClient>();
    EXPECT_TRUE(client->connectTo(daemon.socketPath(session))) << client->lastError().toStdString();
    EXPECT_TRUE(client->waitEvent("connected", 3000).has_value()) << "no \"connected\" greeting";
    return client;
}
