#pragma once
// The translation layer's life: its start and stop, which alone know both of its threads, and
// the translation thread's loop. The translation thread owns the drive table, the sending pipe
// and every connection to the GUI and does all translation; the pipe thread listens on the
// receiving pipe, reads the service's packets while it is connected and listens again when
// the service lets go, until the layer ends. Both reach each other only through the
// translation message (translation_message.h).

#include <windows.h>
#include <cstdint>

#include "handoff/translation_message.h"

// Any thread (DllGetClassObject for the pseudo-service class), never under the loader lock.
// Zeroes the drive table, begins a new session and starts its translation thread, then the
// pipe thread; the session takes posts once both run. While a translation thread still runs
// and takes commands, a repeated start leaves the running layer alone; a layer that is ending
// (the GUI's exit was posted, or a stop asked it to quit) is waited for, at most 10 s, and
// then replaced.
void StartTranslationLayer() noexcept;

// Any thread. Ends the translation thread's loop and the pipe thread. kBounded waits a short
// while for each; kNone (DllMain at detach, under the loader lock) only asks them to end. The
// translation thread's handle is closed once the thread has ended, and always at kNone.
enum class LayerStopWait { kBounded, kNone };
void StopTranslationLayer(LayerStopWait wait = LayerStopWait::kBounded) noexcept;

// The drive letter of the newest pseudo engine, 0 when none. Written by the translation
// thread; kept for the trace and for callers that ask. Data objects carry the letter of the
// class they were made for, not this one.
[[nodiscard]] WCHAR GetPseudoEngineDrive() noexcept;
void SetPseudoEngineDriveLetter(WCHAR letter) noexcept;

// The translation thread's function. `queueReady`: an event handle the thread then owns (it
// sets and closes it once its message queue exists), or nullptr.
DWORD WINAPI TLThreadFunc(void* queueReady);

// Ends the pipe thread of the running layer, if any: cooperatively first, by force as the
// last resort. Whoever calls it first takes the handle and closes it; later calls find none.
void EndPipeThread() noexcept;

// What the loop hands each decoded translation message to: TranslateCommand, unless a test
// put an observer in its place.
using TranslateCommandHandler = void (*)(std::uint16_t command, void* block, WCHAR letter,
                                         std::uint8_t direction);
void SetTranslateCommandHandler(TranslateCommandHandler handler) noexcept;

extern HANDLE g_hTLThread;
extern HANDLE g_hPipeThread;
