#pragma once
// The terminal's key mode, shared by the keyboard (which takes it) and the
// signal handlers (which give it back). Private to platform/.

namespace clipvane::platform::terminal {

// Async-signal-safe: put back the settings found before key mode.
// ForGood: the keyboard will not take the terminal again.
void RestoreForGood();
// For a stop (Ctrl-Z): key mode is owed and retaken at the next poll.
void RestoreForStop();
// After a continue: whoever ran meanwhile (the shell) may have changed the
// settings, so key mode is owed again. Async-signal-safe.
void KeyModeOwed();

}  // namespace clipvane::platform::terminal
