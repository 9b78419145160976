// Process-wide settings of a run, written during start-up and option parsing only.
#pragma once

extern int verbose;          // -v: extra per-probe and per-sweep lines
extern int dFlag;            // -d: accepted, no further effect
extern double probeTimeout;  // -o: reply time-out of every probe, seconds
extern int ownPid;           // process id; marks and recognises our own echo probes

// The seven built-in probe sizes, as text.
extern const char *const defaultSizes[7];

// Splits text at commas (strtok semantics: runs of commas are one separator, no empty
// entries, no trimming). Returns an array of pointers into a private copy of the text
// and stores the entry count through count. Neither is ever released.
char **splitCommaList(const char *text, int *count);

// Checks the clock, records the process id, starts the socket library.
void startUp();

// The whole program: options, start-up, measurement. Returns the exit status.
int hoprateMain(int argc, char **argv);
