#pragma once

#include <memory>

class IConnector;

// What every probe of a program is given: the bound of a login and the object that performs
// its driver connects. The engine's watchdog reads the same bound.
struct ProbeOptions {
    // Set before every connect, so that a server that accepts and never answers cannot hold a
    // poll forever.
    static constexpr int kDefaultLoginTimeoutSeconds = 60;

    int loginTimeoutSeconds = kDefaultLoginTimeoutSeconds;
    // Null: the driver manager's own connect. Shared by every probe made with these options, on
    // every probing thread at once.
    std::shared_ptr<IConnector> connector;
};
