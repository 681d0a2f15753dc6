#pragma once

class QString;

// Starts workingDir/exe as a detached process in workingDir, with args split at blanks; on
// failure the player is told in the "Execution Error" box. False when it did not start.
bool startProgram(const QString &exe, const QString &args, const QString &workingDir);
