// The camera's side of the link protocol: synchronisation and greeting,
// the speed switch and its probes, the request/reply exchange with its
// acknowledges and end-of-transmission numbering, multi-message file
// transfers with repeats after a NACK, the camera-off frames, and the
// injected faults.
#ifndef ORVIK_CAMSIM_PROTOCOL_H
#define ORVIK_CAMSIM_PROTOCOL_H

#include "camsim/line.h"
#include "camsim/options.h"

// Starts switched off, waiting for a synchronisation.  opts must outlive
// the emulator (faults are marked in it as they fire).
void protocol_init(CamsimOptions *opts);

// Acts on one event from the line.
void protocol_handle(const LineEvent &ev);

// How long the event loop may wait for the line before protocol_tick is
// due (at most a second).
int protocol_wait_ms();

// Gives up a transmission whose answer has not come within the patience.
void protocol_tick();

#endif
