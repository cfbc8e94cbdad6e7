#pragma once

#include "relay/AdminLog.h"
#include "relay/Admission.h"
#include "relay/bridge/RedisUrl.h"
#include "relay/web/TextHistory.h"
#include "relay/web/WebAddress.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// What the relay is told to serve, as its options give it.
struct RelaySettings
{
    static constexpr int defaultPort = 555;
    // At boot Redis may start after the relay, or still be loading its data: a bridged relay
    // tries again for this long before it gives up, time enough for a local Redis to come up.
    static constexpr int defaultBridgeWaitSeconds = 60;
    static constexpr int maxBridgeWaitSeconds = 3600;
    static constexpr char defaultConfigFile[] = "/etc/prynechat/relay.conf";
    // A config file is a few lines: anything larger is not one.
    static constexpr qint64 maxConfigFileBytes = 64 * 1024;

    int port = defaultPort;
    QHostAddress listenAddress = QHostAddress::Any;
    bool portOrAddressGiven = false; // what a passed socket overrides
    bool quiet = false;
    std::optional<RedisAddress> bridge; // its password chosen from every source
    int bridgeWaitSeconds = defaultBridgeWaitSeconds;
    std::optional<WebAddress> web;
    // The byte bound keeps the history small whatever the count; past this a count is a typo.
    static constexpr int maxHistoryTexts = 10000;
    int historyTexts = TextHistory::defaultTexts;
    Admission::Rules admission;
    QString configFile; // the one read, if any

    // The options whose change SIGHUP cannot apply, as "--port": they wait for a restart.
    QStringList restartNeeded(const RelaySettings &read) const;
};

// Where else than the command line the options look.
struct OptionSources
{
    QByteArray environmentPassword; // $PRYNECHAT_REDIS_PASSWORD
    QString credentialsDirectory; // $CREDENTIALS_DIRECTORY
    QString defaultConfigFile; // read when it exists and --config names no other
};

// The outcome of reading the options: settings to serve with, or an exit status.
struct OptionReading
{
    static constexpr int exitUsage = 2;

    std::optional<RelaySettings> settings; // none: the relay ends with status
    int status = 0;
    QByteArray output; // the help or the version, for standard output
    QList<AdminLine> lines; // errors and warnings, "prynechat-relay: " first, for standard error
};

// Reads the relay's command line (the program's name first), as its --help describes it.
OptionReading readRelayOptions(const QStringList &arguments, const OptionSources &sources);
