// Forwarding mode: a copy of the program under another file name passes its call on to the
// program that debug.ini names for that file name.
#pragma once

namespace hopgate {

// Reads the target for OwnFileName from section "Forward" of debug.ini in ProgramFolder into
// ForwardTarget and, when that file exists in ProgramFolder, starts it with up to three
// arguments, each in double quotes; with four or more arguments nothing is started.
void ForwardToTarget();

}  // namespace hopgate
