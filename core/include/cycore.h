/*
 * libcycore: the public C API of the Calyra headset core library.
 *
 * This is the only header a host includes. It gathers one header per
 * family: library state and configuration, versions and error codes,
 * device capabilities, device scan, the EEG manager, its stream clock and
 * its stream counts.
 */
#ifndef CYCORE_H
#define CYCORE_H

#include "cycore/export.h"
#include "cycore/types.h"
#include "cycore/core.h"
#include "cycore/device_features.h"
#include "cycore/scan.h"
#include "cycore/eeg_manager.h"
#include "cycore/stream_clock.h"
#include "cycore/stream_stats.h"
#include "cycore/stream_resume.h"

#endif /* CYCORE_H */
