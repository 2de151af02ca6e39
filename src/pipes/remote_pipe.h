#pragma once
// Setting up the pipes to the machine whose service the GUI wants to drive: the pipe names and
// the handshake between the GUI's calling thread and the translation thread, which proves
// with a zero probe packet that the control pipe can be reached.

#include <windows.h>

#include "handoff/translation_message.h"

extern WCHAR g_szMachineName[16];       // the machine named by the GUI
extern WCHAR g_szComputerName[16];      // this computer's name
extern WCHAR g_szGuiPipeName[46];       // "\\<this computer>\pipe\TarnswellGuiPipe"
extern WCHAR g_szControlPipeName[46];   // "\\<machine>\pipe\TarnswellControlPipe"
extern volatile BOOL g_bPipeInitResult; // result of the last probe send (0 or 1)

// Any thread: terminated copies of the names, taken under the lock that a handshake writes
// them under, so that a second ID_INIT_PIPE_COM never hands a reader half of a name.
void CopyMachineName(WCHAR (&name)[16]) noexcept;
void CopyGuiPipeName(WCHAR (&name)[46]) noexcept;
void CopyControlPipeName(WCHAR (&name)[46]) noexcept;

// COM thread (inside SetData of an object of `session`). Sets the pipe names, has the receiving
// pipe admit whom the named machine's service needs (the access list for this computer or ".",
// every caller for another computer), asks the session's translation thread for the probe and
// waits for its answer, all in at most 10 s. Returns g_bPipeInitResult; FALSE at once, with
// nothing changed, when the session does not run or takes no commands.
BOOL InitializeRemotePipe(const wchar_t* machineName, SessionId session) noexcept;

// Translation thread, for ID_INIT_PIPE_COM: sends the probe, stores its result in
// g_bPipeInitResult and, on success, releases the waiting InitializeRemotePipe.
void AnswerPipeInitProbe() noexcept;
