// The editor's modification flows: the core's results and notices shown to
// the user, and the program ended where nothing more may be done.
#pragma once

#include "base/file_services.h"
#include "base/program_values.h"
#include "base/ui_services.h"

namespace kavlin {

// The editor's start, right after DRIVE.DAT is read: when no other
// modification holds the lock, a journal left behind is rolled back and
// the user told ("Info"). A rollback that fails, a damaged journal, a lock
// that cannot be had and a link or no regular file as JOURNAL or UNDO are
// shown ("Error") and end the program: nothing may modify the database
// before it is restored.
void RECOVER_AT_START(UiServices& ui, FileServices& files, char drive);

// The editor's modification: takes the lock (showing WAITING_TEXT while
// another modification holds it; a lock that cannot be had ends the
// program after its message), rolls back a journal left behind, runs
// the engine journaled with its progress shown, and shows the outcome: the
// completion message and return, or the file error followed by the restore
// notice and the end of the program.
void APPLY_MODIFICATION_SAFELY(UiServices& ui, FileServices& files, ProgramValues& values);

}  // namespace kavlin
