// Running the daemon (no switch on the command line): it refuses to start on a
// broken configuration (see ringwell/setup/startup.h) and must be registered
// (its application identifier key must open). While running it logs, once per
// change, a storage root or Reports directory that vanished or came back. It
// serves the Speech and PrepaxService classes, creates the PrepaxService
// object (which starts the worker), tells systemd it is ready, and waits for a
// stop request: SIGTERM or SIGINT. SIGHUP is accepted and ignored; any other
// control signal (SIGUSR1, SIGUSR2) writes "Bad service request". On stop it
// cuts short the speech under way (that request stays in Inbox for the next
// start), releases the service object (the worker finishes any other request
// in hand, then the processor goes) and returns 0.
//
// Speech synthesis keeps global state, so the daemon uses every processor
// through worker processes: with more than one ($RINGWELL_PREPAX_WORKERS, else
// one per processor) this process supervises that many workers, each with
// its own speech engine and its own share of the requests (see
// worker_share.h), starts a worker again when it died, and passes a stop on
// to all of them. On a shared root (SharedRoot = 1) it runs one process,
// which holds the Inbox's lease while it leads (prepax_service.h).
//
// It runs as a service when LocalService is set and systemd started it; its
// own messages then go to the journal under the source "Prepax", otherwise to
// standard output.
//
// Thread-safety: RunDaemon runs on the process's main thread, which blocks
// the control signals before any other thread is started.
#pragma once

namespace ringwell::prepax {

int RunDaemon();

}  // namespace ringwell::prepax
