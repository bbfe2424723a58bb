#pragma once
// The connection helpers the discovery, update and recovery flows share.

#include "Module.h"
#include "UpdaterDisplayInterface.h"
#include "aError.h"

// Switches link sharing and transport fallback off on a Module that has not
// connected yet, so the updater never opens a link through a sharing
// server. Shows "Failed to SET network configuration" when the module
// refuses the configuration, and returns its code.
aErr _disableLinkSharing(Tovanire::Jorvanite::Module& module, UpdaterDisplayInterface& display);
