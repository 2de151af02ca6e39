#pragma once
// The translation layer's threads: the translation thread, which owns the drive table, the
// sending pipe and every connection to the GUI and does all translation, and the pipe thread,
// which serves one connection of the service on the receiving pipe.

#include <windows.h>
#include <cstdint>

// Any thread (DllGetClassObject for the pseudo-service class), never under the loader lock.
// Zeroes the drive table and starts the translation thread (returning once its queue takes
// posts), then the pipe thread. While a translation thread still
// runs, a repeated start leaves the running layer alone.
void StartTranslationLayer() noexcept;

// Any thread, also DllMain at detach. Ends the translation thread's loop and the pipe thread.
void StopTranslationLayer() noexcept;

// The translation thread's id; 0 before the first start.
[[nodiscard]] DWORD GetTLThreadId() noexcept;

// The drive letter of the newest pseudo engine, 0 when none. Read by data objects on COM
// threads, written by the translation thread.
[[nodiscard]] WCHAR GetPseudoEngineDrive() noexcept;
void SetPseudoEngineDriveLetter(WCHAR letter) noexcept;

// The translation thread's function. `queueReady`: an event it sets once its message queue
// exists, or nullptr.
DWORD WINAPI TLThreadFunc(void* queueReady);

// Ends the pipe thread of the running layer, if any: cooperatively first, by force as the
// last resort. Used by StopTranslationLayer and at GUI exit.
void EndPipeThread() noexcept;

// What the loop hands each decoded translation message to: TranslateCommand, unless a test
// put an observer in its place.
using TranslateCommandHandler = void (*)(std::uint16_t command, void* block, WCHAR letter,
                                         std::uint8_t direction);
void SetTranslateCommandHandler(TranslateCommandHandler handler) noexcept;

extern HANDLE g_hTLThread;
extern DWORD g_dwTLThreadId;
extern HANDLE g_hPipeThread;
