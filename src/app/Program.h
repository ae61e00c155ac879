#pragma once

// The program: refuses to start a second time, creates the four windows, shows the main one and
// runs the event loop until it closes. The exit status.
int RunLindqvar(int argc, char *argv[]);
