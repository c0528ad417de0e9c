// _getch, as the Windows runtime has it: waits for one key at the terminal,
// unechoed; returns it, or -1 at once when there is no terminal to read or
// the output, and so the prompt, goes to a file or a pipe.
#ifndef PRINTER_PROBE_GETCH_H_
#define PRINTER_PROBE_GETCH_H_

int _getch();

#endif  // PRINTER_PROBE_GETCH_H_
