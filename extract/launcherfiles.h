#pragma once

// The launcher's own files and folder at the top of its install root. Archives may not write
// over them (FileNames), and the program, its tests and its scripts name them from here.
namespace LauncherFiles {

inline constexpr char lock[] = "launcher.lock";
// QLockFile's helper file beside the lock while it is taken over.
inline constexpr char lockRemoval[] = "launcher.lock.rmlock";
inline constexpr char log[] = "launcher.log";
inline constexpr char previousLog[] = "launcher.1.log";
// The launcher's work folder: the staging of an update, the files it replaces, its journal.
inline constexpr char workFolder[] = ".veltro-update";

// Inside the work folder: what each repository's last install wrote, kept across installs.
inline constexpr char indexFolder[] = "index";

inline constexpr const char *all[] = {lock, lockRemoval, log, previousLog, workFolder};

} // namespace LauncherFiles
