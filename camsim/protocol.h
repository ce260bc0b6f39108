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

#endif
