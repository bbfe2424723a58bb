#pragma once
// The connection helpers the discovery, update and recovery flows share.

#include <cstdint>
#include <functional>
#include <vector>

#include "Module.h"
#include "UpdaterDisplayInterface.h"
#include "aError.h"
#include "aLinkSpecifier.h"

// Switches link sharing and transport fallback off on a Module that has not
// connected yet, so the updater never opens a link through a sharing
// server. Shows "Failed to SET network configuration" when the module
// refuses the configuration, and returns its code.
aErr _disableLinkSharing(Tovanire::Jorvanite::Module& module, UpdaterDisplayInterface& display);

// How a module that left its link is looked for again: up to `tries` tries,
// a pause of `pauseMs` after each that did not find it, and before every
// `freshContextEvery`-th try (0: never) the shared USB context is dropped so
// that enumeration starts afresh.
struct RefindPlan {
  int tries;
  uint32_t pauseMs;
  int freshContextEvery;
};

// One way of reaching the module within a try (`attempt` counts the tries
// from 1); returns its result.
using RefindWay = std::function<aErr(int attempt)>;

// Drops the module's link, then tries the ways in order, try after try,
// until one leaves the module connected. A way that does not gives back
// whatever link it left held: a module still leaving the bus can answer the
// handshake and be gone before the way ends, and a link kept would make
// every later connect fail at once and keep the USB context from being
// dropped. aErrNone once connected, else the last way's error
// (aErrConnection when it reported none).
aErr _refind_module(Tovanire::Jorvanite::Module& module, const RefindPlan& plan, const std::vector<RefindWay>& ways);

// The network-attached module with that serial number, from one TCPIP
// search heard to its end, in *spec. aErrNotFound when none answered.
// When answers for it come from two addresses (or ports) there is no
// telling the module from an impostor or a twin: aErrDuplicate, with an
// error naming the serial number and both addresses, and nothing is sent
// to either.
aErr _find_network_module(UpdaterDisplayInterface& display, uint32_t serialNumber, linkSpec* spec);
