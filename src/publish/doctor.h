#pragma once

#include <QString>

#include <functional>

// "check URL": fetches a published release the way a client with URL= in
// its system.cfg does (the same requests, readers and signature check),
// then every file once, and says for each what a client would get. Needs a
// running QCoreApplication; makes its own network manager.

struct DoctorOptions
{
    QString url;              // URL= of the clients, ending in "/"
    bool hasPublicKey = false;
    QString publicKey;        // PublicKey= of the clients
    QString caFile;           // CaFile= of the clients; empty: the system's CAs
    bool hasProxy = false;
    QString proxy;            // Proxy= of the clients
};

// Writes the report through print, a line at a time: one line per file,
// "problem: <what>: <fix>" for each thing that stops or endangers a client
// and "note: ..." for what is only worth knowing. True when there is no
// problem, so a client would update cleanly.
bool checkRelease(const DoctorOptions &options, const std::function<void(const QString &)> &print);
