#pragma once
// How the process meets the signals that end or stop it, and its standard
// streams: the first Ctrl-C (SIGTERM, SIGHUP) asks the driver to cancel, which
// cleans up in order; a second one ends the process at once, removing first
// the files registered below, so that even then nothing unfinished is left.

#include <cstddef>
#include <string>

namespace clipvane::platform {

// Opens /dev/null on each of the standard descriptors 0, 1 and 2 that is
// closed, so that no file the run opens later takes its number (an output on
// descriptor 1 would receive the progress lines; a movie on descriptor 0 would
// be standard input). Call first thing in main.
void OpenMissingStandardStreams();

// After this call, SIGINT, SIGTERM and SIGHUP no longer end the process at
// once: the first makes CancelRequested() true and the driver cancels as for
// the space bar, then calls ReraiseCancelSignal. A second one removes the
// registered temporary files, gives the terminal back and ends the process by
// that signal. Ctrl-Z (SIGTSTP) gives the terminal back before the process
// stops; after SIGCONT the keyboard takes key mode again at its next poll.
// SIGPIPE is ignored, so a closed output shows as a failed write.
void InstallCancelSignals();
bool CancelRequested();

// Called once the cancelled run has cleaned up: when a signal asked for the
// cancel, gives the terminal back and ends the process by that same signal
// with its default action, so that the shell sees the conventional status
// (130 for Ctrl-C) and a loop around the tool stops. Returns, doing nothing,
// when no signal came (a space bar cancel keeps its exit status 1).
void ReraiseCancelSignal();

// Files the run is writing that must not outlive it when the process dies
// abruptly (a second Ctrl-C): one path per slot, kept in fixed storage that a
// signal handler can read. Register a path once the run owns the file (it has
// created it, and it is a regular file), forget it once the file is removed or
// renamed to its final name. Only temporaries belong here; never a path that
// may name a file the run did not create.
enum class TemporarySlot : int {
  kOutput = 0,    // the container written under its temporary name
  kSideFile = 1,  // the codebook side file's ".part"
  kDebugSound = 2,  // the debug sound file's ".part"
};
constexpr std::size_t kTemporaryPathCapacity = 4096;  // bytes, with the terminating zero
// False (and the slot left empty) when the path does not fit.
bool RegisterTemporaryFile(TemporarySlot slot, const std::string& path);
void ForgetTemporaryFile(TemporarySlot slot);

}  // namespace clipvane::platform
