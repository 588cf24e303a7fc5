// The command-line front end.
#pragma once

// The whole front end: reads the arguments, asks, then records. Returns 0
// after a complete take; every refusal exits with status 1.
int ZelkMain(int argc, char** argv);
