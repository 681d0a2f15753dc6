#pragma once

class QJsonObject;
class QString;
class RepoManager;

// Starts exe of a repository from its folder under the install root, with the entry's args.
// The entry's dir and args are read now, as they were when the column was built.
void startProgram(RepoManager *manager, const QString &exe, const QJsonObject &entry);
