// The second half of an update run: decrypt, confirm, extract and swap the package into the
// editor folder, then write the version file. The extraction itself is in zip_extraction.h.
#pragma once

#include <string>

class EditorUpdater;
struct UpdateManifest;

// Runs on the worker thread; ends the run in Installed or Failed. packageSha256 is the package
// file's digest when the run already took it, else empty.
void installEditorPackage(EditorUpdater& updater, const UpdateManifest& manifest,
                          const std::string& packagePath, const std::string& packageSha256);

// At the start of a run: removes what an interrupted run left behind (part files and decrypted
// copies in the downloads folder, the staging folder, a previous editor moved aside).
void removeRunLeftovers(const std::string& downloadsDirectory);

// Puts the staging folder in place of the editor folder so that the old editor survives any
// failure: an atomic exchange where the file system has it, else a move aside with roll-back. On
// success a previous editor lies in the aside folder, for the caller to delete after announcing.
bool replaceEditorFolder(const std::string& stagingDirectory, const std::string& editorDirectory,
                         const std::string& asideDirectory);
// The move-aside strategy alone (the fallback of replaceEditorFolder).
bool replaceEditorFolderByMovingAside(const std::string& stagingDirectory, const std::string& editorDirectory,
                                      const std::string& asideDirectory);
