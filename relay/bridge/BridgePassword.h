#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// A bridged relay's Redis password, kept off the command line, where every local user could read
// it in the process list: from a file named on the command line, from the credential that
// systemd's LoadCredential= hands over, or from the environment.
struct PasswordSources
{
    QByteArray inUrl; // redis://:PASSWORD@HOST, still accepted
    QString file; // --bridge-password-file, empty when not given
    QString credentialsDirectory; // $CREDENTIALS_DIRECTORY, set by systemd
    QByteArray environment; // $PRYNECHAT_REDIS_PASSWORD
};

// The credential's name in LoadCredential=redis-password:/etc/prynechat/redis-password.
inline constexpr char credentialName[] = "redis-password";
// A password file holds one line; what is larger is not a password file.
constexpr qint64 maxPasswordFileBytes = 4096;

// The password of the first source given, in the order of PasswordSources' members; empty when
// none is. Nullopt with reason when a named file cannot be read, holds no password or more than
// one line, or when both the URL and the option give one. warning tells of a password file that
// every user may read.
std::optional<QByteArray> choosePassword(const PasswordSources &sources, QString *reason,
                                         QString *warning);
