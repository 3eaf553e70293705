// Ties the launcher to the Linux desktop: its own folder, the file manager and the choosers.
#pragma once

#include <string>
#include <vector>

// The folder holding the running launcher executable; empty when it cannot be determined.
std::string executableDirectory();
// Creates the folder when missing and opens it with "xdg-open"; never waits, reports nothing.
void openFolderInFileManager(const std::string& folder);
// Runs the "zenity" folder chooser; the chosen folder, or empty when cancelled or failed.
std::string chooseDirectoryDialog(const std::string& title, const std::string& start);
// "$HOME/Documents"; empty when HOME is unset.
std::string defaultProjectsDirectory();

// "/tmp/orvo_launcher_<real user id>.lock", the single-instance lock file.
std::string singleInstanceLockPath();
// Opens (creating, mode 0600) the lock file for flock; -1 when it cannot be opened. In the shared
// /tmp another user may have put anything at that name: a link is never followed, and anything
// but a regular file of this user counts as not openable. Close-on-exec: only the editor is
// meant to inherit it, and its launch hands it on explicitly.
int openSingleInstanceLock();

// Quotes text for the shell so it arrives as one argument, byte for byte, whatever it holds.
std::string shellQuote(const std::string& text);
// Runs a shell command with popen and returns its output without trailing CR/LF bytes; empty
// when it could not run or ended with a status other than 0 (a cancelled chooser).
std::string runChooserCommand(const std::string& command);
// Starts a program found through PATH with the arguments, without waiting for it and without
// leaving a zombie: an intermediate child starts it and ends at once, and only that child is
// reaped. argv[0] is the program name.
void spawnDetached(const std::vector<std::string>& argv);

// Makes a write to a closed socket or pipe fail with EPIPE instead of ending the launcher; called
// once at start-up, before any thread. A handler that does nothing rather than SIG_IGN: a caught
// signal is back to its default in every program the launcher starts, an ignored one would not be.
void ignoreBrokenPipes();

// Raises the soft limit on open descriptors toward the hard limit, as far as the launcher can
// use (8,192): local clients of the sign-in listener must not use up the descriptors that
// settings saves and HTTPS requests need.
void raiseDescriptorLimit();
