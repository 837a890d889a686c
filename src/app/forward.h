// Forwarding mode: a copy of the program under another file name passes its call on to the
// program that debug.ini names for that file name.
#pragma once

namespace hopgate {

// When ForwardTarget (already read from debug.ini by the start-up) names a file in ProgramFolder,
// starts it with up to three arguments, each in double quotes; with four or more arguments
// nothing is started.
void ForwardToTarget();

}  // namespace hopgate
