// Small files the program keeps for the user, written so that a link planted in their folder is
// never followed and a crash never leaves half a file under the final name.
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

/// Reads at most @p maxBytes of @p path (a link is not followed); nullopt when it cannot be opened.
[[nodiscard]] std::optional<QByteArray> Corvane_ReadFile(const QString& path, qint64 maxBytes);
/// Writes @p data as @p name in folder @p dir: a new temporary file (O_EXCL, no links followed),
/// flushed, then renamed over @p name. On failure nothing changes and @p error (may be null) says
/// why.
[[nodiscard]] bool Corvane_WriteFileAtomically(const QString& dir, const QString& name,
                                               const QByteArray& data, QString* error);
