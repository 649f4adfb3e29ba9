#pragma once
// The operator's SOCKS5 proxy: one line of proxy.txt beside the program, read once per run at
// the card selection into process-wide settings that every later worker reads when it starts.
#include <QByteArray>
#include <QString>
#include <optional>

#include "engine/PageFetcher.h"

namespace engine {

// Splits a proxy line (already trimmed) into its four parts:
// host | host:port | user@host:port | user:password@host:port. Nothing is validated.
TProxySettings ParseProxyLine(const QString& line);

// "Используем прокси host:port[, login user, password first5***]".
QString ProxyLogText(const TProxySettings& proxy);

// The first line of the file, trimmed; empty when there is no such file (a folder or any other
// entry that is not a regular file counts as none) or the file has no line. A byte-order mark
// selects the encoding, otherwise the text is read in `codeset` (empty: the system's, as the log
// file is written in). Throws std::runtime_error when the file exists but cannot be read.
QString ReadProxyLine(const QString& path, const QByteArray& codeset = {});

// The process-wide settings (empty when the process starts). Safe from any thread.
TProxySettings CurrentProxySettings();
void SetProxySettings(const TProxySettings& proxy);

}  // namespace engine
