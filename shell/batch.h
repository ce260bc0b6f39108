// Non-interactive modes: one-level walk of the DCIM folder.
#ifndef ORVIK_SHELL_BATCH_H
#define ORVIK_SHELL_BATCH_H

void batch_list(void);
void batch_get(int selection);
int batch_erase(void);

#endif
