#pragma once

#include <QByteArray>
#include <QString>

// The per-user configuration folder: $XDG_CONFIG_HOME when it is an absolute path, otherwise
// ~/.config (relative values are ignored, as the base-directory rules require).
QString XdgConfigHome();
// The per-user data folder (the history lives there): $XDG_DATA_HOME when absolute, otherwise
// ~/.local/share; on Windows the user's application-data folder (%APPDATA%).
QString UserDataFolder();

// Replaces path with data as one step: a temporary file in the same folder (created with
// mode, never wider), written, flushed to disk, then renamed over path. Missing folders are
// created. A symbolic link stays in place and its target is replaced. On failure nothing is left
// behind, path is untouched, and error holds the reason.
bool WriteFileAtomically(const QString &path, const QByteArray &data, unsigned mode,
                         QString *error);
