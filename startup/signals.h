// signals.h -- the program's signal table: one handler per signal number,
// host signals routed to it, posted signals (and the alarm) queued until
// deliver_signals.
//
// The numbers are the program's own: 1 hang-up (SIGHUP), 2 interrupt
// (SIGINT), 3 quit (SIGQUIT), 4 alarm (SIGALRM), 10 bus error (SIGBUS),
// 11 segmentation fault (SIGSEGV), 15 termination (SIGTERM).
#pragma once

#include <sys/types.h>

namespace kvf {

using SignalHandler = void (*)(int);

inline constexpr int kSigHangup = 1;
inline constexpr int kSigInterrupt = 2;
inline constexpr int kSigQuit = 3;
inline constexpr int kSigAlarm = 4;
inline constexpr int kSigBus = 10;
inline constexpr int kSigSegv = 11;
inline constexpr int kSigTerm = 15;
inline constexpr int kSignalSlots = 32;

// Handler values that store the do-nothing handler.
inline const SignalHandler kHandlerDefault = nullptr;
inline const SignalHandler kHandlerIgnore = reinterpret_cast<SignalHandler>(1);

// Stores `handler` for `number` and routes the host signal to the table
// (SEGV and BUS run on an alternate signal stack). Returns the previous
// handler, null for an empty slot or a number out of range.
SignalHandler set_signal(int number, SignalHandler handler);
// The slot's handler, null when no handler was ever set.
SignalHandler signal_handler(int number);

// Posts `number` to process `pid`: to this process it is queued for
// deliver_signals; to another it is sent as the host signal. Number 0 is
// the liveness test. 0, or -1 with errno 3 when the process is gone.
int post_signal(pid_t pid, int number);

// Calls the table's handler for every queued number (async-signal-safe
// queue); the do-nothing handler for an empty slot.
void deliver_signals();

// Arms a one-shot timer of seconds x 1.5 s whose expiry posts signal 4 to
// this process (delivered by deliver_signals); 1 when armed, else 0.
int set_alarm(int seconds);

// The host signal of a program number, 0 when it has none.
int host_signal(int number);

}  // namespace kvf
