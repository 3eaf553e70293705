// The launcher's threads. Each names itself on start, so a debugger, top -H or a core dump tells
// them apart. Every one is joined by its owner; none is detached.
//
//   "ORVO Launcher"  the UI thread: the window, the frame loop, AppState and everything it owns.
//   "orvo-update"    EditorUpdater's worker, one update run at a time; joins the previous run's
//                    worker first (it may still be deleting the replaced editor).
//   "orvo-token"     the sign-in's token worker: the token and userinfo requests; the session
//                    joins it on Cancel, Sign out, a new sign-in and destruction.
//   "orvo-listener"  the loopback listener's event loop: every connection, the redirect handed
//                    to the session, and closing the connections once the listener stops.
//   "orvo-deadline"  one per HTTPS request: aborts it at its deadline or stall limit; the
//                    requesting thread joins it when the request ends.
//   "orvo-pipeline"  one per BlockPipeline: writes or hashes the blocks a download or the
//                    decryption hands it; the pipeline's owner joins it.
//   "orvo-unzip"     up to three extra extraction writers beside the updater's worker, each with
//                    its own archive handle; the extraction joins them.
#pragma once

#include <pthread.h>

// Names the calling thread; at most 15 characters are kept.
inline void nameThisThread(const char* name) {
  pthread_setname_np(pthread_self(), name);
}
